#include "host_names.hpp"

#include <charconv>
#include <set>

namespace pairdot_hosts {

namespace {

bool is_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

int parse_slots(std::string_view text, const std::string &where) {
  int slots = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), slots);
  if (error != std::errc() || end != text.data() + text.size() || text.empty() || slots < 1 ||
      slots > 1 << 20) {
    throw InputError(where + "slots must be a whole number from 1 to 1048576, not " + shown(text));
  }
  return slots;
}

Host checked_host(std::string_view name, int slots, const std::string &where) {
  if (!is_valid_host_name(name)) {
    throw InputError(where + shown(name) +
                     " is not a valid host name (letters, digits, '-', '_' and '.')");
  }
  return Host{std::string(name), slots};
}

// "host", "host:slots" or "host slots=N".
Host parse_host_entry(std::string_view entry, const std::string &where) {
  if (const auto space = entry.find_first_of(" \t"); space != std::string_view::npos) {
    const std::string_view rest = trim(entry.substr(space));
    if (rest.substr(0, 6) != "slots=") {
      throw InputError(where + "want 'host', 'host:slots' or 'host slots=N', not " + shown(entry));
    }
    return checked_host(entry.substr(0, space), parse_slots(rest.substr(6), where), where);
  }
  if (const auto colon = entry.find(':'); colon != std::string_view::npos) {
    return checked_host(entry.substr(0, colon), parse_slots(entry.substr(colon + 1), where), where);
  }
  return checked_host(entry, 1, where);
}

void refuse_duplicates(const std::vector<Host> &hosts, const std::vector<std::string> &wheres) {
  std::set<std::string> seen;
  for (std::size_t i = 0; i < hosts.size(); ++i) {
    if (!seen.insert(hosts[i].name).second) {
      throw InputError(wheres[i] + "host " + shown(hosts[i].name) + " is listed twice");
    }
  }
}

// Calls take(line, where) on every line that is not blank or a comment.
template <class Take>
void for_each_entry(std::string_view text, const std::string &label, Take take) {
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    line = trim(line.substr(0, line.find('#')));
    if (!line.empty()) {
      take(line, label + ":" + std::to_string(number) + ": ");
    }
  }
}

} // namespace

bool is_valid_host_name(std::string_view name) {
  if (name.empty() || name.size() > 253) {
    return false;
  }
  std::size_t label = 0;
  char previous = '.';
  for (const char c : name) {
    if (c == '.') {
      if (label == 0 || previous == '-') {
        return false;
      }
      label = 0;
    } else if (!is_label_char(c) || (label == 0 && c == '-') || ++label > 63) {
      return false;
    }
    previous = c;
  }
  return label > 0 && previous != '-';
}

std::vector<Host> parse_host_list(std::string_view list) {
  std::vector<Host> hosts;
  std::vector<std::string> wheres;
  std::size_t number = 0;
  while (true) {
    ++number;
    const auto comma = list.find(',');
    const std::string where = "--hosts entry " + std::to_string(number) + ": ";
    const std::string_view entry = list.substr(0, comma);
    if (entry.find_first_of(" \t") != std::string_view::npos) {
      throw InputError(where + shown(entry) + " is not a valid host name");
    }
    hosts.push_back(parse_host_entry(entry, where));
    wheres.push_back(where);
    if (comma == std::string_view::npos) {
      break;
    }
    list = list.substr(comma + 1);
  }
  refuse_duplicates(hosts, wheres);
  return hosts;
}

std::vector<Host> parse_hostfile(std::string_view text, const std::string &label) {
  std::vector<Host> hosts;
  std::vector<std::string> wheres;
  for_each_entry(text, label, [&](std::string_view line, const std::string &where) {
    hosts.push_back(parse_host_entry(line, where));
    wheres.push_back(where);
  });
  if (hosts.empty()) {
    throw InputError(label + ": no hosts listed");
  }
  refuse_duplicates(hosts, wheres);
  return hosts;
}

std::vector<std::string> parse_rank_hosts(std::string_view text, const std::string &label) {
  std::vector<std::string> hosts;
  for_each_entry(text, label, [&](std::string_view line, const std::string &where) {
    hosts.push_back(checked_host(line, 1, where).name);
  });
  return hosts;
}

std::string shown(std::string_view text) {
  std::string out = "'";
  for (const char c : text.substr(0, 64)) {
    out += (c >= 0x20 && c < 0x7f) ? c : '?';
  }
  return out + (text.size() > 64 ? "...'" : "'");
}

std::vector<std::string> names_of(const std::vector<Host> &hosts) {
  std::vector<std::string> names;
  names.reserve(hosts.size());
  for (const Host &host : hosts) {
    names.push_back(host.name);
  }
  return names;
}

std::string_view short_name(std::string_view name) { return name.substr(0, name.find('.')); }

bool same_host(std::string_view asked, std::string_view recorded) {
  // An address has no short name: "10.0.0.1" is not "10.0.0.2".
  const bool address = asked.find_first_not_of("0123456789.") == std::string_view::npos;
  return asked == recorded || (!address && short_name(asked) == short_name(recorded));
}

} // namespace pairdot_hosts
