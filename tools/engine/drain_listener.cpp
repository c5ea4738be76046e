// The words of a drain (the reason given to the scheduler, the lines
// printed) and its effects: the nodes read, updated or their commands printed.

#include "drain.hpp"

#include <cstdio>
#include <filesystem>
#include <memory>

namespace pairdot_run {

namespace {

std::string joined(const std::vector<std::string> &words, const char *between) {
  std::string out;
  for (const std::string &word : words) {
    out += (out.empty() ? "" : between) + word;
  }
  return out;
}

std::string what_failed(const NodeAction &action) {
  switch (action.cause) {
  case DrainCause::cannot_run:
    return "dead host, no rank started even alone";
  case DrainCause::cannot_join:
    return "host runs alone but never beside others";
  case DrainCause::dark:
    return "dark host, reaches no other host";
  case DrainCause::host:
    return "suspect host, its links failed";
  case DrainCause::link:
    return "link failed to " + joined(action.peers, ", ");
  case DrainCause::switch_:
    return "under suspect switch " + joined(action.peers, ", ");
  }
  return "suspect";
}

std::string why_left(LeaveWhy why) {
  switch (why) {
  case LeaveWhy::not_ours:
    return "drained, down or reserved by someone else";
  case LeaveWhy::already_drained:
    return "drained by pairdot already";
  case LeaveWhy::not_in_scheduler:
    return "no Slurm node of that name";
  case LeaveWhy::scope:
    return "a link or switch: --drain links or switches drains those";
  case LeaveWhy::not_all_verified:
    return "drained by pairdot, and not all its links verified in this run";
  case LeaveWhy::none:
    break;
  }
  return "";
}

// A word as the shell reads it back.
std::string quoted(const std::string &word) {
  if (word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789"
                             "=._,:/-") == std::string::npos) {
    return word;
  }
  std::string out = "'";
  for (const char c : word) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

void print_line(const std::string &line) { std::printf("%s\n", line.c_str()); }

void act(const pairdot_launch::Scheduler &scheduler, const NodeAction &action,
         const std::string &report_dir, bool dry_run) {
  if (action.kind == NodeActionKind::leave) {
    print_line("left " + action.node + " as it is: " + why_left(action.why));
    return;
  }
  const pairdot_launch::NodeUpdate update{action.node, action.kind == NodeActionKind::drain,
                                          drain_reason(action, report_dir)};
  std::vector<std::string> words;
  for (const std::string &word : pairdot_launch::scontrol_update_command(update)) {
    words.push_back(quoted(word));
  }
  if (dry_run) {
    print_line(joined(words, " "));
    return;
  }
  const std::string error = scheduler.update_node(update);
  print_line(!error.empty() ? "could not " + std::string(update.drain ? "drain " : "resume ") +
                                  action.node + ": " + error.substr(0, error.find('\n'))
             : update.drain ? "drained " + action.node + ": " + update.reason
                            : "resumed " + action.node + ": its links all verified");
}

} // namespace

std::string drain_reason(const NodeAction &action, const std::string &report_dir) {
  std::string what = "pairdot: " + what_failed(action);
  const std::string report = report_dir + "/report.json";
  constexpr std::size_t report_room = 120;
  if (what.size() > max_reason_bytes - report_room) {
    what.resize(max_reason_bytes - report_room - 3);
    what += "...";
  }
  const std::size_t room = max_reason_bytes - what.size() - std::string("; report ").size();
  return what + "; report " +
         (report.size() <= room ? report : "..." + report.substr(report.size() - (room - 3)));
}

RunListener drain_listener(const pairdot_launch::Scheduler &scheduler, DrainScope scope,
                           bool dry_run) {
  // Each run's own report directory: a watch's changes with every sweep.
  auto report_dir = std::make_shared<std::string>();
  RunListener listener;
  listener.began = [report_dir](const std::string &dir) {
    *report_dir = std::filesystem::absolute(dir).lexically_normal().string();
  };
  listener.ended = [&scheduler, scope, report_dir, dry_run](const pairdot_model::RunReport &report,
                                                            RunEnd end) {
    if (end != RunEnd::completed) {
      return;
    }
    std::fflush(stdout);
    const std::vector<NodeAction> actions = node_actions(report, scheduler.nodes(), scope);
    for (const NodeAction &action : actions) {
      act(scheduler, action, *report_dir, dry_run);
    }
    if (actions.empty()) {
      print_line("no node to drain or resume");
    }
    std::fflush(stdout);
  };
  return listener;
}

} // namespace pairdot_run
