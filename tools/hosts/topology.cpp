#include "topology.hpp"

#include <algorithm>
#include <charconv>
#include <map>
#include <set>

namespace pairdot_hosts {

namespace {

constexpr std::size_t max_names = 1000000;

struct Range {
  unsigned long long first = 0;
  unsigned long long last = 0;
  std::size_t width = 0; // digits of the first number, leading zeros kept
};

// Switches and the line each is defined on.
struct Parsed {
  Topology topology;
  std::vector<std::size_t> lines;
};

std::string at_line(const std::string &label, std::size_t line) {
  return label + ":" + std::to_string(line) + ": ";
}

std::string_view trim(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

// The parts of text between separators at bracket depth 0.
std::vector<std::string_view> split_outside_brackets(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  int depth = 0;
  for (std::size_t i = 0; i <= text.size(); ++i) {
    if (i == text.size() || (text[i] == separator && depth == 0)) {
      parts.push_back(text.substr(start, i - start));
      start = i + 1;
    } else if (text[i] == '[' || text[i] == ']') {
      depth += text[i] == '[' ? 1 : -1;
      if (depth < 0 || depth > 1) {
        throw InputError("unbalanced brackets");
      }
    }
  }
  if (depth != 0) {
    throw InputError("unbalanced brackets");
  }
  return parts;
}

// Refuses to grow a list of `had` names by `more`.
void check_room(std::size_t had, unsigned long long more) {
  if (more > max_names - had) {
    throw InputError("more than " + std::to_string(max_names) + " names");
  }
}

bool parse_number(std::string_view digits, unsigned long long &value) {
  const char *end = digits.data() + digits.size();
  const auto [next, error] = std::from_chars(digits.data(), end, value);
  return !digits.empty() && digits.size() <= 18 && error == std::errc() && next == end;
}

// "001-032" or "040".
Range parse_range(std::string_view text) {
  const auto dash = text.find('-');
  Range range{0, 0, dash == std::string_view::npos ? text.size() : dash};
  const bool single = dash == std::string_view::npos;
  if (!parse_number(text.substr(0, dash), range.first) ||
      !parse_number(single ? text : text.substr(dash + 1), range.last)) {
    throw InputError("bad range " + shown(text) + " (want numbers as in node[01-08,10])");
  }
  if (range.last < range.first) {
    throw InputError("range " + shown(text) + " runs backwards");
  }
  check_room(0, range.last - range.first + 1);
  return range;
}

std::string padded(unsigned long long value, std::size_t width) {
  std::string digits = std::to_string(value);
  return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

// Appends every name of one item ("rack[1-2]-n[01-04]") to names.
void expand_item(std::string_view item, std::vector<std::string> &names) {
  if (item.empty()) {
    throw InputError("empty item");
  }
  std::vector<std::string> partial{""};
  while (!item.empty()) {
    const auto open = item.find('[');
    const std::string_view text = item.substr(0, open);
    for (std::string &name : partial) {
      name += text;
    }
    if (open == std::string_view::npos) {
      break;
    }
    const auto close = item.find(']', open);
    std::vector<Range> ranges;
    std::size_t count = 0;
    for (const std::string_view part :
         split_outside_brackets(item.substr(open + 1, close - open - 1), ',')) {
      ranges.push_back(parse_range(part));
      count += static_cast<std::size_t>(ranges.back().last - ranges.back().first + 1);
      check_room(names.size(), count);
    }
    check_room(names.size(), partial.size() * count);
    std::vector<std::string> longer;
    longer.reserve(partial.size() * count);
    for (const std::string &name : partial) {
      for (const Range &range : ranges) {
        for (unsigned long long n = range.first; n <= range.last; ++n) {
          longer.push_back(name + padded(n, range.width));
        }
      }
    }
    partial = std::move(longer);
    item.remove_prefix(close + 1);
  }
  check_room(names.size(), partial.size());
  for (std::string &name : partial) {
    if (!is_valid_host_name(name)) {
      throw InputError(shown(name) + " is not a valid host name");
    }
    names.push_back(std::move(name));
  }
}

std::vector<std::string> expand_at(std::string_view expression, const std::string &where) {
  try {
    return expand_hostlist(expression);
  } catch (const InputError &error) {
    throw InputError(where + error.what());
  }
}

std::string lower(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
  });
  return out;
}

// "SwitchName=s1 Nodes=node[01-04] LinkSpeed=1"; other keys are an error
// unless ignore_others.
Switch parse_switch_line(std::string_view line, const std::string &where, bool ignore_others) {
  Switch sw;
  std::set<std::string> keys;
  while (!(line = trim(line)).empty()) {
    const std::string_view word = line.substr(0, line.find_first_of(" \t"));
    line.remove_prefix(word.size());
    const auto equals = word.find('=');
    if (equals == std::string_view::npos || equals == 0) {
      throw InputError(where + "want Key=Value, not " + shown(word));
    }
    const std::string key = lower(word.substr(0, equals));
    const std::string_view value = word.substr(equals + 1);
    if (!keys.insert(key).second) {
      throw InputError(where + shown(word.substr(0, equals)) + " is given twice");
    }
    if (key == "switchname") {
      if (!is_valid_host_name(value)) {
        throw InputError(where + "switch name " + shown(value) + " is not a valid name");
      }
      sw.name = value;
    } else if (key == "nodes") {
      sw.nodes = expand_at(value, where);
    } else if (key == "switches") {
      sw.switches = expand_at(value, where);
    } else if (key != "linkspeed" && !ignore_others) {
      throw InputError(where + "unknown key " + shown(word.substr(0, equals)) +
                       " (SwitchName, Nodes, Switches, LinkSpeed)");
    }
  }
  if (sw.name.empty()) {
    throw InputError(where + "no SwitchName");
  }
  if (keys.count("nodes") == 0 && keys.count("switches") == 0) {
    throw InputError(where + "switch " + sw.name + " has neither Nodes= nor Switches=");
  }
  return sw;
}

// Every line that is not blank or a comment, and whose first word starts
// with `first` (any, if empty).
Parsed parse_lines(std::string_view text, const std::string &label, std::string_view first) {
  Parsed parsed;
  std::set<std::string> names;
  std::size_t number = 0;
  while (!text.empty()) {
    ++number;
    const auto end = text.find('\n');
    std::string_view line = text.substr(0, end);
    line = trim(line.substr(0, line.find('#')));
    text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    if (line.empty() || line.substr(0, first.size()) != first) {
      continue;
    }
    Switch sw = parse_switch_line(line, at_line(label, number), !first.empty());
    if (!names.insert(sw.name).second) {
      throw InputError(at_line(label, number) + "switch " + sw.name + " is defined twice");
    }
    parsed.topology.switches.push_back(std::move(sw));
    parsed.lines.push_back(number);
  }
  return parsed;
}

// Per switch, the indices of its child switches; throws for one never defined.
std::vector<std::vector<std::size_t>> child_indices(const Parsed &parsed,
                                                    const std::string &label) {
  const std::vector<Switch> &switches = parsed.topology.switches;
  std::map<std::string_view, std::size_t> by_name;
  for (std::size_t s = 0; s < switches.size(); ++s) {
    by_name.emplace(switches[s].name, s);
  }
  std::vector<std::vector<std::size_t>> children(switches.size());
  for (std::size_t s = 0; s < switches.size(); ++s) {
    for (const std::string &child : switches[s].switches) {
      const auto found = by_name.find(child);
      if (found == by_name.end()) {
        throw InputError(at_line(label, parsed.lines[s]) + "switch " + child + " is never defined");
      }
      children[s].push_back(found->second);
    }
  }
  return children;
}

// The switches, each after every switch below it; throws for a loop.
std::vector<std::size_t> children_first(const Parsed &parsed,
                                        const std::vector<std::vector<std::size_t>> &children,
                                        const std::string &label) {
  const std::size_t count = children.size();
  std::vector<std::vector<std::size_t>> parents(count);
  std::vector<std::size_t> waiting(count);
  std::vector<std::size_t> order;
  for (std::size_t s = 0; s < count; ++s) {
    waiting[s] = children[s].size();
    for (const std::size_t child : children[s]) {
      parents[child].push_back(s);
    }
    if (waiting[s] == 0) {
      order.push_back(s);
    }
  }
  for (std::size_t next = 0; next < order.size(); ++next) {
    for (const std::size_t parent : parents[order[next]]) {
      if (--waiting[parent] == 0) {
        order.push_back(parent);
      }
    }
  }
  if (order.size() == count) {
    return order;
  }
  // Every switch left has a child left: follow them until one comes round.
  std::size_t at = 0;
  while (waiting[at] == 0) {
    ++at;
  }
  std::vector<std::size_t> path;
  while (std::find(path.begin(), path.end(), at) == path.end()) {
    path.push_back(at);
    at = *std::find_if(children[at].begin(), children[at].end(),
                       [&](std::size_t child) { return waiting[child] != 0; });
  }
  std::string loop;
  for (auto s = std::find(path.begin(), path.end(), at); s != path.end(); ++s) {
    loop += parsed.topology.switches[*s].name + " > ";
  }
  const std::string &name = parsed.topology.switches[at].name;
  throw InputError(at_line(label, parsed.lines[path.back()]) + "switch " + name +
                   " is below itself: " + loop + name);
}

void check_each_node_once(const Parsed &parsed, const std::string &label) {
  const std::vector<Switch> &switches = parsed.topology.switches;
  std::map<std::string_view, std::size_t> under;
  for (std::size_t s = 0; s < switches.size(); ++s) {
    for (const std::string &node : switches[s].nodes) {
      const auto [earlier, fresh] = under.emplace(node, s);
      if (!fresh) {
        throw InputError(at_line(label, parsed.lines[s]) + "node " + node +
                         " is already under switch " + switches[earlier->second].name + " (line " +
                         std::to_string(parsed.lines[earlier->second]) + ")");
      }
    }
  }
}

// scontrol lists under a switch every node below it: each node is kept on
// the lowest switch only.
void keep_nodes_on_lowest_switch(Topology &topology,
                                 const std::vector<std::vector<std::size_t>> &children,
                                 const std::vector<std::size_t> &order) {
  std::vector<std::set<std::string>> below(order.size());
  for (const std::size_t s : order) {
    for (const std::size_t child : children[s]) {
      below[s].insert(below[child].begin(), below[child].end());
    }
    std::vector<std::string> &nodes = topology.switches[s].nodes;
    nodes.erase(std::remove_if(nodes.begin(), nodes.end(),
                               [&](const std::string &node) { return below[s].count(node) != 0; }),
                nodes.end());
    below[s].insert(nodes.begin(), nodes.end());
  }
}

} // namespace

std::vector<std::string> expand_hostlist(std::string_view expression) {
  std::vector<std::string> names;
  try {
    for (const std::string_view item : split_outside_brackets(expression, ',')) {
      expand_item(item, names);
    }
  } catch (const InputError &error) {
    throw InputError("hostlist " + shown(expression) + ": " + error.what());
  }
  return names;
}

Topology parse_topology_conf(std::string_view text, const std::string &label) {
  const Parsed parsed = parse_lines(text, label, "");
  if (parsed.topology.switches.empty()) {
    throw InputError(label + ": no switches (want lines such as SwitchName=s1 Nodes=node[01-32])");
  }
  children_first(parsed, child_indices(parsed, label), label);
  check_each_node_once(parsed, label);
  return parsed.topology;
}

Topology parse_scontrol_topology(std::string_view text) {
  const std::string label = "scontrol show topology";
  Parsed parsed = parse_lines(text, label, "SwitchName=");
  const auto children = child_indices(parsed, label);
  keep_nodes_on_lowest_switch(parsed.topology, children, children_first(parsed, children, label));
  check_each_node_once(parsed, label);
  return parsed.topology;
}

} // namespace pairdot_hosts
