#pragma once

// The short lists the report tests write ("1>2,2>1", "3") and the links a
// report's JSON names, as sets of "sender>receiver".

#include <nlohmann/json.hpp>

#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace report_lists {

inline std::vector<std::string> split(const std::string &text, char by) {
  std::vector<std::string> parts;
  std::istringstream in(text);
  for (std::string part; std::getline(in, part, by);) {
    parts.push_back(part);
  }
  return parts;
}

// "1>2,3>1" or "3" into names; name_of names a host by its number.
template <typename NameOf> std::set<std::string> named(const std::string &list, NameOf name_of) {
  std::set<std::string> names;
  for (const std::string &item : split(list, ',')) {
    std::string name;
    for (const std::string &number : split(item, '>')) {
      name += (name.empty() ? "" : ">") + name_of(number);
    }
    names.insert(name);
  }
  return names;
}

inline std::set<std::string> link_names(const nlohmann::json &links) {
  std::set<std::string> names;
  for (const nlohmann::json &link : links) {
    names.insert(link.at("sender").get<std::string>() + ">" +
                 link.at("receiver").get<std::string>());
  }
  return names;
}

inline std::size_t occurrences(const std::string &text, const std::string &part) {
  std::size_t n = 0;
  for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) {
    ++n;
  }
  return n;
}

} // namespace report_lists
