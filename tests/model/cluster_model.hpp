#pragma once

// A modelled cluster for the planner of pairdot-run: N hosts of S slots,
// dead hosts, bad and flaky links; for whole runs also hosts whose ranks
// run elsewhere, nodes Slurm will not use, ranks that never send and slow
// links. It answers, for a job's hosts, which ranks started, which pairs
// verified and how long the job took; the planner only ever sees those
// answers.
//
// Time: a job costs launch = 0.5 s + 20 us x ranks. A job none of whose
// ranks start hangs until the bound (timeout). A job whose ranks all start
// but those of dead hosts is ended by pairdot-run max(5 s, 2 x launch) after
// launch (at most the bound). A job ended by a failed pair (failure mode
// job) costs launch, as does any other job. A job Slurm keeps waiting, or
// with a rank that never sends, lasts until the bound. A round costs its
// slowest job.

#include "isolation.hpp"
#include "judge.hpp"
#include "run_report.hpp"

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <utility>
#include <vector>

namespace pairdot_model {

using Link = std::pair<HostIndex, HostIndex>; // (sender, receiver)

enum class FailureMode : std::uint8_t {
  pair, // a failed pair is lost alone
  job,  // a failed pair ends the whole job: no pair of it verifies
  init, // a bad link ends every job that holds both its hosts, paired or not
        // (MPICH over UCX connects every pair of ranks in MPI_Init)
};

struct FlakyLink {
  Link link;
  double probability = 0; // that a pair over it fails
};

struct Faults {
  std::vector<HostIndex> dead_hosts; // their ranks never start
  std::vector<Link> bad_links;       // every pair over them fails
  std::vector<FlakyLink> flaky_links;
  std::vector<HostIndex> dark_hosts{}; // their ranks start, every pair of them fails
  std::vector<int> cut_switches{};     // of the fabric: no pair between below and beyond verifies
};

// A link a probe measures at this share of the cluster's bandwidth.
struct SlowLink {
  Link link;
  double share = 0.1;
};

// A switch whose uplink runs at this share: every link between a host below
// it and one elsewhere.
struct SlowSwitch {
  int at = 0; // of the fabric
  double share = 0.1;
};

struct ClusterSetup {
  HostIndex hosts = 2;
  int slots = 1;
  Faults faults;
  FailureMode failure = FailureMode::pair;
  bool launcher_waits = false;      // no rank starts when a host of the job is dead
  double timeout = 60;              // the bound of a job, seconds
  SwitchTree fabric;                // the switches the faults are on
  bool planner_knows_fabric = true; // the planner is given the fabric as its topology
  std::uint64_t seed = 1;           // of the flaky links' failures
  // Troubles of a whole run:
  std::vector<Link> moved_hosts;   // (placed, ran on): the first host's ranks run on the second
  std::vector<HostIndex> unusable; // Slurm will not use them: a job on them is kept waiting
  int unusable_from = 1;           // from this job on, counted from 1
  std::vector<int> held_ranks;     // ranks that start but never send: their job hangs
  std::vector<SlowLink> slow_links;
  std::vector<SlowSwitch> slow_switches;
  double noise = 0; // every probe measure times exp(N(0, noise)), drawn from the seed
  std::vector<HostIndex> alone_only; // from job alone_only_from on, their ranks start only in
  int alone_only_from = 1;           // a job of their own (launch messages too big for a port)
};

// A probe's bandwidth at 1 MiB over a healthy link, MB/s.
constexpr double healthy_mbps = 1000;

struct LinkFault {
  std::uint64_t link = 0; // sender * hosts + receiver
  double probability = 1;
};

struct Cluster {
  ClusterSetup setup;
  std::vector<int> side;                 // per host: 0, or 1 + the cut switch it is below
  std::vector<std::uint8_t> dead;        // per host: 1 dead, 2 dark
  std::vector<std::uint8_t> sends_fault; // per host: some link from it is bad or flaky
  std::vector<LinkFault> link_faults;    // sorted by link
  std::vector<std::vector<std::uint8_t>> slow_below; // per slow switch, per host: below it
  std::mt19937_64 random;
  int jobs = 0; // run so far
};

// Throws std::invalid_argument naming a host or link out of range.
Cluster make_cluster(const ClusterSetup &setup);

struct JobAnswer {
  pairdot_model::JobEvidence seen;
  // timed_out: no rank started, or one never sent; not_started: Slurm
  // kept it waiting (seen.held).
  pairdot_model::JobStatus status = pairdot_model::JobStatus::verified;
  double seconds = 0;
  std::vector<HostIndex> ran_on; // misplaced: the host of every rank
  std::vector<double> mbps;      // per pair: a probe's bandwidth at 1 MiB; empty: all healthy_mbps
};

// The chance that a pair from sender to receiver fails: 1 from or to a dark
// host or across a cut, else its bad or flaky link's (dead hosts aside).
double failure_chance(const Cluster &cluster, HostIndex sender, HostIndex receiver);

// What the cluster does with a job placed on these hosts (rank by rank).
JobAnswer run_job(Cluster &cluster, const std::vector<HostIndex> &rank_hosts);

// What pairdot-run would see of the job, hosts named by host_names: the
// launcher's exit, the hosts the ranks recorded, their output (pairdot's
// lines, or in a probe run the verified pairs' probe lines).
pairdot_run::JobObservations job_observations(const JobAnswer &answer,
                                              const std::vector<HostIndex> &rank_hosts,
                                              const std::vector<std::string> &host_names,
                                              bool probe);

// The job as pairdot-run reports it: its observations, judged.
pairdot_model::JobOutcome job_outcome(const pairdot_run::JudgeSettings &settings,
                                      const pairdot_run::PlannedRun &job, const JobAnswer &answer,
                                      const std::vector<std::string> &host_names);

struct ModelRun {
  pairdot_run::Isolation state;
  pairdot_model::Evidence evidence; // what the planner reads
  pairdot_model::Suspects suspects; // sorted
  int sweep_jobs = 0;
  int extra_jobs = 0;
  double modelled_seconds = 0; // the slowest job of each round, summed
};

using JobSeen = std::function<void(const pairdot_run::PlannedRun &, const JobAnswer &)>;

// A planner that plans the same jobs again and again never ends: a model
// run fails past this many jobs instead.
long long most_jobs_of(int hosts);

// Runs the planner on the cluster until it has nothing left to learn;
// on_job (if set) sees every job as it is recorded.
ModelRun run_model(Cluster &cluster, int parallel, const JobSeen &on_job = {});

// The suspects a perfect diagnosis names: the dead and dark hosts, the cut
// switches (their hosts as groups when the planner is not told the
// fabric), and the bad links between hosts not named, all sorted.
pairdot_model::Suspects expected_suspects(const ClusterSetup &setup);

} // namespace pairdot_model
