#pragma once

// Host names and host lists as users give them: checked before anything
// runs, so that no name can smuggle shell or markup into a command or report.

#include <algorithm>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace pairdot_hosts {

struct Host {
  std::string name;
  int slots = 1;
};

// Bad user input: the message is one line, ready to print.
struct InputError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A host name or IPv4 address: letters, digits, '-', '_' and '.', labels of
// 1 to 63 characters not starting or ending with '-', at most 253 in all.
bool is_valid_host_name(std::string_view name);

// "node1:4,node2,node3:2" (slots default to 1).
std::vector<Host> parse_host_list(std::string_view list);

// A hostfile: one host a line as "host", "host:slots" or "host slots=N";
// '#' starts a comment. Errors name file and line.
std::vector<Host> parse_hostfile(std::string_view text, const std::string &label);

// One host a line, in rank order (comments and blank lines allowed).
std::vector<std::string> parse_rank_hosts(std::string_view text, const std::string &label);

// The hosts' names, in order.
std::vector<std::string> names_of(const std::vector<Host> &hosts);

// Text quoted for a message: at most 64 characters, unprintable ones as '?'.
std::string shown(std::string_view text);

// The part of a host name before its first dot.
std::string_view short_name(std::string_view name);
// Whether the name a host gives itself is the one asked for (a short and a
// full name of the same host match).
bool same_host(std::string_view asked, std::string_view recorded);

// The distinct hosts of a list of names or indices, sorted.
template <typename Name> std::vector<Name> distinct_hosts(std::vector<Name> hosts) {
  std::sort(hosts.begin(), hosts.end());
  hosts.erase(std::unique(hosts.begin(), hosts.end()), hosts.end());
  return hosts;
}

} // namespace pairdot_hosts
