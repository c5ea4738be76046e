#pragma once

// The short lists the report tests write ("1>2,2>1", "3") and the links a
// report's JSON names, as sets of "sender>receiver"; its matrix and pairs.

#include <nlohmann/json.hpp>

#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace report_lists {

inline std::vector<std::string> split(const std::string &text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);)
    parts.push_back(part);
  return parts;
}

// "1>2,3>1" or "3" into names; name_of names a host by its number.
template <typename NameOf> std::set<std::string> named(const std::string &list, NameOf name_of) {
  std::set<std::string> names;
  for (const std::string &item : split(list, ',')) {
    std::string name;
    for (const std::string &number : split(item, '>'))
      name += (name.empty() ? "" : ">") + name_of(number);
    names.insert(name);
  }
  return names;
}

inline std::set<std::string> link_names(const nlohmann::json &links) {
  std::set<std::string> names;
  for (const nlohmann::json &link : links)
    names.insert(link.at("sender").get<std::string>() + ">" +
                 link.at("receiver").get<std::string>());
  return names;
}

// Every link of report.json's matrix, "sender>receiver", to its mark: +
// verified, s verified but slow, c verified after failing beside others, x
// failed, ? not covered.
inline std::map<std::string, char> link_marks(const nlohmann::json &report) {
  const nlohmann::json &hosts = report.at("hosts");
  std::map<std::string, char> marks;
  for (std::size_t s = 0; s < hosts.size(); ++s) {
    const std::string row = report.at("links").at("rows").at(s);
    for (std::size_t r = 0; r < hosts.size(); ++r) {
      if (s != r)
        marks[hosts[s].at("name").get<std::string>() + ">" +
              hosts[r].at("name").get<std::string>()] = row.at(r);
    }
  }
  return marks;
}

inline std::size_t pair_count(const nlohmann::json &report) {
  std::size_t pairs = 0;
  for (const nlohmann::json &job : report.at("jobs"))
    pairs += job.at("pairs").get<std::size_t>();
  return pairs;
}

inline std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
    ++n;
  return n;
}

} // namespace report_lists
