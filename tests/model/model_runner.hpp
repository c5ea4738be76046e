#pragma once

// The job runner of pairdot-run over a modelled cluster: each job is
// answered by the model at once and ends on the model's clock, so that whole
// runs go through pairdot_run::run without processes.

#include "cluster_model.hpp"
#include "run.hpp"

#include <string>
#include <vector>

namespace pairdot_model {

class ModelRunner final : public pairdot_run::JobRunner {
public:
  // Hosts are the options' hosts, in the cluster's order. stop_after > 0:
  // the run is stopped (pairdot_run::request_stop) once that many jobs ended.
  ModelRunner(Cluster &cluster, const pairdot_run::RunOptions &options, int stop_after = 0);

  void start(const pairdot_run::JobPlan &plan) override;
  std::size_t running() const override { return running_.size(); }
  // The jobs that end first on the model's clock.
  std::vector<JobOutcome> poll() override;
  void stop_all() override { running_.clear(); }

  int started() const { return started_; }

private:
  struct Running {
    double end = 0;
    JobOutcome outcome;
  };
  Cluster &cluster_;
  const pairdot_launch::Launcher &launcher_;
  pairdot_run::JudgeSettings judge_;
  std::vector<std::string> names_;
  HostMap index_;
  std::vector<Running> running_; // in start order
  int stop_after_ = 0;
  int started_ = 0;
  int ended_ = 0;
  double now_ = 0; // seconds
};

} // namespace pairdot_model
