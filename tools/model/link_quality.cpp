#include "link_quality.hpp"

#include <algorithm>
#include <map>

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
    if (link.verdict == ProbeVerdict::failed)
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

} // namespace

std::optional<double> top_mbps(const pairdot_probe::ProbeLine &line) {
  return line.mbps.empty() ? std::nullopt : line.mbps.back();
}

LinkQuality assess_links(const std::vector<LinkMeasure> &measures, HostIndex hosts,
                         const SlowRule &rule) {
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
  quality.slow_hosts = slow_hosts_of(quality.links, hosts);
  return quality;
}

std::vector<std::pair<HostIndex, HostIndex>> slow_to_retest(const LinkQuality &quality) {
  std::vector<std::pair<HostIndex, HostIndex>> out;
  for (const LinkProbe &link : quality.links) {
    if (link.verdict != ProbeVerdict::failed && (link.slow_bandwidth || link.slow_latency) &&
        link.alone_measures < alone_measures_for_slow)
      out.emplace_back(link.sender, link.receiver);
  }
  return out;
}

} // namespace pairdot_model
