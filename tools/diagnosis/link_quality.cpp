#include "link_quality.hpp"

#include <algorithm>
#include <map>
#include <set>

namespace pairdot_model {

namespace {

bool failed(const LinkMeasure &measure) { return measure.line.failed_size.has_value(); }

// Whether measure should replace what a link is judged by: alone beats
// beside others; alone, a failure, then the higher bandwidth; beside others,
// the later job, then within a job the worse pair.
bool tells_more(const LinkMeasure &measure, const LinkMeasure &chosen) {
  if (measure.alone != chosen.alone)
    return measure.alone;
  if (measure.alone || measure.job == chosen.job) {
    if (failed(measure) != failed(chosen))
      return failed(measure);
    const double mbps = top_mbps(measure.line).value_or(0);
    const double chosen_mbps = top_mbps(chosen.line).value_or(0);
    return measure.alone ? mbps > chosen_mbps : mbps < chosen_mbps;
  }
  return measure.job > chosen.job;
}

std::optional<double> median(std::vector<double> values) {
  if (values.empty())
    return std::nullopt;
  const std::size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle),
                   values.end());
  const double upper = values[middle];
  if (values.size() % 2 == 1)
    return upper;
  const double lower =
      *std::max_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle));
  return (lower + upper) / 2;
}

void judge(LinkProbe &link, const LinkQuality &quality, const SlowRule &rule) {
  if (link.line.failed_size) {
    link.verdict = ProbeVerdict::failed;
    return;
  }
  const std::optional<double> mbps = top_mbps(link.line);
  link.slow_bandwidth =
      mbps && quality.median_mbps && *mbps < rule.bandwidth_fraction * *quality.median_mbps;
  link.slow_latency = link.line.latency_us && quality.median_latency_us &&
                      *link.line.latency_us > rule.latency_factor * *quality.median_latency_us;
  link.verdict =
      (link.slow_bandwidth || link.slow_latency) && link.alone_measures >= alone_measures_for_slow
          ? ProbeVerdict::slow
          : ProbeVerdict::ok;
}

std::vector<HostIndex> slow_hosts_of(const std::vector<LinkProbe> &links, HostIndex hosts) {
  std::vector<int> measured(static_cast<std::size_t>(hosts), 0);
  std::vector<int> slow(static_cast<std::size_t>(hosts), 0);
  for (const LinkProbe &link : links) {
    if (link.verdict == ProbeVerdict::failed || link.slow_switch >= 0)
      continue;
    for (const HostIndex host : {link.sender, link.receiver}) {
      ++measured[static_cast<std::size_t>(host)];
      slow[static_cast<std::size_t>(host)] += link.verdict == ProbeVerdict::slow ? 1 : 0;
    }
  }
  std::vector<HostIndex> out;
  for (HostIndex host = 0; host < hosts; ++host) {
    const auto at = static_cast<std::size_t>(host);
    if (slow[at] >= 2 && 2 * slow[at] > measured[at])
      out.push_back(host);
  }
  return out;
}

bool looks_slow(const LinkProbe &link) {
  return link.verdict != ProbeVerdict::failed && (link.slow_bandwidth || link.slow_latency);
}

bool retested(const LinkProbe &link) { return link.alone_measures > 0; }

// Looks slow, not yet measured alone often enough.
bool open_link(const LinkProbe &link) {
  return looks_slow(link) && link.alone_measures < alone_measures_for_slow;
}

// Per switch, per host: whether the host is below it.
std::vector<std::vector<std::uint8_t>> below_flags(const SwitchTree &switches) {
  std::vector<std::vector<std::uint8_t>> flags(switches.below.size(),
                                               std::vector<std::uint8_t>(switches.leaf.size(), 0));
  for (std::size_t s = 0; s < switches.below.size(); ++s) {
    for (const HostIndex host : switches.below[s]) {
      if (host >= 0 && static_cast<std::size_t>(host) < switches.leaf.size())
        flags[s][static_cast<std::size_t>(host)] = 1;
    }
  }
  return flags;
}

enum class Place : std::uint8_t { apart, across, inside };

Place place_of(const std::vector<std::uint8_t> &below, const LinkProbe &link) {
  const auto at = [&below](HostIndex host) {
    return host >= 0 && static_cast<std::size_t>(host) < below.size() &&
           below[static_cast<std::size_t>(host)] != 0;
  };
  const bool sender = at(link.sender);
  const bool receiver = at(link.receiver);
  return sender && receiver ? Place::inside : sender || receiver ? Place::across : Place::apart;
}

bool sample_complete(const SwitchLinks &links) {
  return links.sampled >= switch_sample || links.across_slow == links.sampled_slow_looking;
}

// The slow switches but those below another slow switch.
std::vector<int> topmost(const std::vector<int> &slow, const SwitchTree &switches) {
  std::vector<int> out;
  for (const int s : slow) {
    bool above = false;
    for (int up = switches.parent[static_cast<std::size_t>(s)]; up >= 0 && !above;
         up = switches.parent[static_cast<std::size_t>(up)])
      above = std::binary_search(slow.begin(), slow.end(), up);
    if (!above)
      out.push_back(s);
  }
  return out;
}

void name_slow_switches(LinkQuality &quality, const SwitchTree &switches) {
  const std::vector<SwitchLinks> stats = switch_links(quality, switches);
  std::vector<int> slow;
  for (std::size_t s = 0; s < stats.size(); ++s) {
    if (switch_is_slow(stats[s]))
      slow.push_back(static_cast<int>(s));
  }
  quality.slow_switches = topmost(slow, switches);
  const auto flags = below_flags(switches);
  for (LinkProbe &link : quality.links) {
    for (const int s : quality.slow_switches) {
      if (link.verdict != ProbeVerdict::failed &&
          place_of(flags[static_cast<std::size_t>(s)], link) == Place::across) {
        link.slow_switch = s;
        break;
      }
    }
  }
}

} // namespace

bool switch_looks_slow(const SwitchLinks &links) {
  return links.inside > 0 && 2 * links.across_slow > links.across &&
         2 * links.inside_slow < links.inside;
}

bool switch_is_slow(const SwitchLinks &links) {
  return switch_looks_slow(links) && sample_complete(links) && links.sampled_open == 0 &&
         2 * links.sampled_slow > links.sampled;
}

std::vector<SwitchLinks> switch_links(const LinkQuality &quality, const SwitchTree &switches) {
  const auto flags = below_flags(switches);
  std::vector<SwitchLinks> out(flags.size());
  for (const LinkProbe &link : quality.links) {
    if (link.verdict == ProbeVerdict::failed)
      continue;
    const int slow = looks_slow(link) ? 1 : 0;
    for (std::size_t s = 0; s < flags.size(); ++s) {
      SwitchLinks &at = out[s];
      const Place place = place_of(flags[s], link);
      if (place == Place::inside) {
        ++at.inside;
        at.inside_slow += slow;
      } else if (place == Place::across) {
        ++at.across;
        at.across_slow += slow;
        if (retested(link)) {
          ++at.sampled;
          at.sampled_slow_looking += slow;
          at.sampled_open += open_link(link) ? 1 : 0;
          at.sampled_slow += link.verdict == ProbeVerdict::slow ? 1 : 0;
        }
      }
    }
  }
  return out;
}

std::optional<double> top_mbps(const pairdot_probe::ProbeLine &line) {
  return line.mbps.empty() ? std::nullopt : line.mbps.back();
}

std::vector<std::optional<double>> host_median_mbps(const LinkQuality &quality, HostIndex hosts) {
  std::vector<std::vector<double>> values(static_cast<std::size_t>(std::max(hosts, 0)));
  for (const LinkProbe &link : quality.links) {
    const std::optional<double> mbps = top_mbps(link.line);
    if (link.verdict == ProbeVerdict::failed || !mbps)
      continue;
    for (const HostIndex host : {link.sender, link.receiver}) {
      if (host >= 0 && host < hosts)
        values[static_cast<std::size_t>(host)].push_back(*mbps);
    }
  }
  std::vector<std::optional<double>> medians;
  medians.reserve(values.size());
  for (std::vector<double> &of_host : values)
    medians.push_back(median(std::move(of_host)));
  return medians;
}

LinkQuality assess_links(const std::vector<LinkMeasure> &measures, HostIndex hosts,
                         const SlowRule &rule, const SwitchTree &switches) {
  struct Chosen {
    const LinkMeasure *measure = nullptr;
    const LinkMeasure *first = nullptr;  // the first not failed: what the median is of
    int alone = 0;                       // measures alone
    std::optional<double> least_latency; // of those alone
  };
  std::map<std::pair<HostIndex, HostIndex>, Chosen> chosen;
  for (const LinkMeasure &measure : measures) {
    if (measure.sender < 0 || measure.receiver < 0 || measure.sender >= hosts ||
        measure.receiver >= hosts)
      continue;
    Chosen &at = chosen[{measure.sender, measure.receiver}];
    if (at.measure == nullptr || tells_more(measure, *at.measure))
      at.measure = &measure;
    if (at.first == nullptr && !failed(measure))
      at.first = &measure;
    if (measure.alone && !failed(measure)) {
      ++at.alone;
      if (measure.line.latency_us)
        at.least_latency = std::min(measure.line.latency_us.value(),
                                    at.least_latency.value_or(*measure.line.latency_us));
    }
  }
  LinkQuality quality;
  std::vector<double> bandwidths;
  std::vector<double> latencies;
  for (const auto &[link, at] : chosen) {
    LinkProbe probe{link.first, link.second, at.measure->alone, at.alone, at.measure->line};
    if (at.measure->alone && !failed(*at.measure) && at.least_latency)
      probe.line.latency_us = at.least_latency;
    quality.links.push_back(probe);
    if (failed(*at.measure) || at.first == nullptr)
      continue;
    if (const std::optional<double> mbps = top_mbps(at.first->line))
      bandwidths.push_back(*mbps);
    if (at.first->line.latency_us)
      latencies.push_back(*at.first->line.latency_us);
  }
  quality.median_mbps = median(std::move(bandwidths));
  quality.median_latency_us = median(std::move(latencies));
  for (LinkProbe &link : quality.links)
    judge(link, quality, rule);
  if (!switches.below.empty())
    name_slow_switches(quality, switches);
  quality.slow_hosts = slow_hosts_of(quality.links, hosts);
  return quality;
}

std::vector<HostPair> slow_to_retest(const LinkQuality &quality, const SwitchTree &switches) {
  enum : std::uint8_t { free, held, picked };
  std::vector<std::uint8_t> state(quality.links.size(), free);
  const std::vector<SwitchLinks> stats = switch_links(quality, switches);
  const auto flags = below_flags(switches);
  for (std::size_t s = 0; s < stats.size(); ++s) {
    const bool complete = sample_complete(stats[s]);
    const bool settled = complete && stats[s].sampled_open == 0;
    if (!switch_looks_slow(stats[s]) || (settled && !switch_is_slow(stats[s])))
      continue; // not slow as a whole: its links are re-tested one by one
    int wanted = complete ? 0 : switch_sample - stats[s].sampled;
    std::vector<std::uint8_t> used(switches.leaf.size(), 0);
    for (std::size_t i = 0; i < quality.links.size(); ++i) {
      const LinkProbe &link = quality.links[i];
      if (link.verdict == ProbeVerdict::failed || place_of(flags[s], link) != Place::across ||
          state[i] == picked)
        continue;
      const auto sender = static_cast<std::size_t>(link.sender);
      const auto receiver = static_cast<std::size_t>(link.receiver);
      if (retested(link)) {
        state[i] = picked;
      } else if (wanted > 0 && looks_slow(link) && used[sender] == 0 && used[receiver] == 0) {
        state[i] = picked;
        used[sender] = used[receiver] = 1;
        --wanted;
      } else {
        state[i] = held;
      }
    }
  }
  std::vector<HostPair> out;
  for (std::size_t i = 0; i < quality.links.size(); ++i) {
    const LinkProbe &link = quality.links[i];
    if (state[i] != held && open_link(link))
      out.emplace_back(link.sender, link.receiver);
  }
  return out;
}

std::vector<std::vector<HostPair>> pack_links(const std::vector<HostPair> &links) {
  std::vector<std::vector<HostPair>> jobs;
  std::vector<std::set<HostIndex>> busy; // per job
  for (const HostPair &link : links) {
    std::size_t job = 0;
    while (job < jobs.size() &&
           (busy[job].count(link.first) != 0 || busy[job].count(link.second) != 0))
      ++job;
    if (job == jobs.size()) {
      jobs.emplace_back();
      busy.emplace_back();
    }
    jobs[job].push_back(link);
    busy[job].insert({link.first, link.second});
  }
  return jobs;
}

} // namespace pairdot_model
