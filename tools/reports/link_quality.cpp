#include "link_quality.hpp"

#include <algorithm>
#include <map>

namespace pairdot_reports {

namespace {

bool failed(const LinkMeasure &measure) { return measure.line.failed_size.has_value(); }

// Whether measure should replace what a link is judged by.
bool tells_more(const LinkMeasure &measure, const LinkMeasure &chosen) {
  if (measure.alone != chosen.alone)
    return measure.alone;
  if (measure.job != chosen.job)
    return measure.job > chosen.job;
  if (failed(measure) != failed(chosen))
    return failed(measure);
  return top_mbps(measure.line).value_or(0) < top_mbps(chosen.line).value_or(0);
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
  link.verdict = (link.slow_bandwidth || link.slow_latency) && link.alone ? ProbeVerdict::slow
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
  std::map<std::pair<HostIndex, HostIndex>, const LinkMeasure *> chosen;
  for (const LinkMeasure &measure : measures) {
    if (measure.sender < 0 || measure.receiver < 0 || measure.sender >= hosts ||
        measure.receiver >= hosts)
      continue;
    const LinkMeasure *&at = chosen[{measure.sender, measure.receiver}];
    if (at == nullptr || tells_more(measure, *at))
      at = &measure;
  }
  LinkQuality quality;
  std::vector<double> bandwidths;
  std::vector<double> latencies;
  for (const auto &[link, measure] : chosen) {
    quality.links.push_back({link.first, link.second, measure->alone, measure->line});
    if (failed(*measure))
      continue;
    if (const std::optional<double> mbps = top_mbps(measure->line))
      bandwidths.push_back(*mbps);
    if (measure->line.latency_us)
      latencies.push_back(*measure->line.latency_us);
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
    if (!link.alone && (link.slow_bandwidth || link.slow_latency))
      out.emplace_back(link.sender, link.receiver);
  }
  return out;
}

} // namespace pairdot_reports
