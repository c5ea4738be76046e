#include "model_runner.hpp"

#include <algorithm>
#include <stdexcept>

namespace pairdot_model {

ModelRunner::ModelRunner(Cluster &cluster, const pairdot_run::RunOptions &options, int stop_after)
    : cluster_(cluster), launcher_(*options.settings.launcher),
      judge_(pairdot_run::judge_settings(options.settings)), stop_after_(stop_after) {
  if (options.hosts.size() != static_cast<std::size_t>(cluster.setup.hosts))
    throw std::invalid_argument("the model has " + std::to_string(cluster.setup.hosts) +
                                " hosts, the run " + std::to_string(options.hosts.size()));
  for (const Host &host : options.hosts) {
    index_.emplace(host.name, static_cast<HostIndex>(names_.size()));
    names_.push_back(host.name);
  }
}

void ModelRunner::start(const pairdot_run::JobPlan &plan) {
  if (started_ >= most_jobs_of(cluster_.setup.hosts))
    throw std::runtime_error("the planner did not finish within " +
                             std::to_string(most_jobs_of(cluster_.setup.hosts)) + " jobs");
  std::vector<HostIndex> rank_hosts;
  for (const std::string &name : plan.rank_hosts) {
    const auto found = index_.find(name);
    if (found == index_.end())
      throw std::invalid_argument("the model has no host " + name);
    rank_hosts.push_back(found->second);
  }
  const JobAnswer answer = run_job(cluster_, rank_hosts);
  JobOutcome outcome = pairdot_run::judge_job(
      judge_, plan, job_observations(answer, rank_hosts, names_, judge_.probe));
  outcome.placement = launcher_.placement_text(plan.rank_hosts);
  running_.push_back({now_ + answer.seconds, std::move(outcome)});
  ++started_;
}

std::vector<JobOutcome> ModelRunner::poll() {
  std::vector<JobOutcome> ended;
  if (running_.empty())
    return ended;
  now_ = std::min_element(running_.begin(), running_.end(), [](const auto &a, const auto &b) {
           return a.end < b.end;
         })->end;
  const bool stopping = stop_after_ > ended_;
  for (auto job = running_.begin(); job != running_.end();) {
    if (job->end > now_ || (stopping && ended_ == stop_after_)) {
      ++job;
      continue;
    }
    ended.push_back(std::move(job->outcome));
    job = running_.erase(job);
    if (++ended_ == stop_after_)
      pairdot_run::request_stop();
  }
  return ended;
}

} // namespace pairdot_model
