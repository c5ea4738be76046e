#pragma once

// The words of a watch: history.jsonl, written and read back, the
// intermittent hosts and links in report.json, on the terminal and in
// report.html with each host's last sweeps.

#include "history.hpp"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace pairdot_writers {

// A line of history.jsonl, ending with a newline.
std::string history_line(const pairdot_model::SweepRecord &sweep);

struct HistoryRead {
  std::vector<pairdot_model::SweepRecord> sweeps;
  std::vector<std::string> warnings; // a line each, about lines left out
};
// The sweeps of history.jsonl's text. A line that is not a sweep (a torn
// last line: a watch killed while writing) is left out with a warning.
HistoryRead read_history(const std::string &text, const std::string &path);

// report.json's "intermittent": [{"host"|"link", "failed", "sweeps"}].
nlohmann::ordered_json intermittent_json(const std::vector<pairdot_model::Intermittent> &found);
// "intermittent link: a -> b failed 2 of 20 sweeps", a line each.
std::string intermittent_lines(const std::vector<pairdot_model::Intermittent> &found);
// The sweep's report.json and report.html again, with the intermittent
// hosts and links and each host's last sweeps.
void write_watch_reports(const std::string &dir, const pairdot_model::RunReport &report,
                         const std::vector<pairdot_model::Intermittent> &found,
                         const std::vector<pairdot_model::HostRow> &rows);

} // namespace pairdot_writers
