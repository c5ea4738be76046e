// pairdot-run: runs bounded pairdot jobs that name hosts, sweeps every
// ordered pair of hosts, re-tests failures alone and writes reports.

#include "atomic_file.hpp"
#include "drain.hpp"
#include "host_names.hpp"
#include "preflight.hpp"
#include "probe_line.hpp"
#include "process.hpp"
#include "run.hpp"
#include "slurm.hpp"
#include "topology.hpp"
#include "watch.hpp"

#include <CLI/CLI.hpp>
#include <pairdot_version.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>

#ifndef PAIRDOT_DEFAULT_LAUNCHER
#define PAIRDOT_DEFAULT_LAUNCHER "mpich"
#endif
#ifndef PAIRDOT_BUILD_PROGRAM
#define PAIRDOT_BUILD_PROGRAM ""
#endif
#ifndef PAIRDOT_BUILD_PROBE
#define PAIRDOT_BUILD_PROBE ""
#endif
#ifndef PAIRDOT_BUILD_SHIM
#define PAIRDOT_BUILD_SHIM ""
#endif

namespace {

using pairdot_hosts::InputError;
using namespace pairdot_run;

// What the user said: the run's options, bound to the command line where
// they can be, and the words still to be resolved into them.
struct Arguments {
  RunOptions run;
  std::string launcher;
  std::string hosts;
  bool hosts_given = false;
  std::string hostfile;
  std::string topology;
  std::string program;
  bool plan = false;
  std::string sizes;
  double step_timeout = 0;
  double slow_bandwidth = 50; // per cent of the median link
  std::string metrics;
  std::string drain; // --drain's words
  bool resume_drained = false;
  bool drain_dry_run = false;
  bool watching = false;
  WatchOptions watch;
};

std::vector<std::string> launcher_names() {
  std::vector<std::string> names;
  for (const pairdot_launch::Launcher *launcher : pairdot_launch::all_launchers()) {
    names.emplace_back(launcher->name());
  }
  return names;
}

void add_options(CLI::App &app, Arguments &args) {
  app.add_option("--launcher", args.launcher,
                 "mpich, openmpi, or srun inside a Slurm allocation (default: the library "
                 "pairdot is built with)")
      ->check(CLI::IsMember(launcher_names()));
  auto *hosts = app.add_option("--hosts", args.hosts, "hosts and slots: node1:4,node2:4");
  app.add_option("--hostfile", args.hostfile,
                 "one host a line: host, host:slots or host slots=N; # comments")
      ->excludes(hosts);
  app.add_option("--topology", args.topology,
                 "Slurm's topology.conf (tree): a fault is blamed on a switch where it can be "
                 "(default under Slurm: what scontrol show topology prints)");
  app.add_option("--np", args.run.np, "ranks in the job (default: all slots)")
      ->check(CLI::Range(1, 1 << 24));
  app.add_option("--program", args.program,
                 "the pairdot to run, at the same path on every host (default: the one installed "
                 "or built beside pairdot-run)");
  app.add_option("--timeout", args.run.settings.timeout,
                 "seconds a job may take (default 60; at most a week)")
      ->check(CLI::PositiveNumber & CLI::Range(0.0, 604800.0));
  app.add_option("--tcp", args.run.settings.launch.tcp_interface,
                 "force TCP on this network interface");
  app.add_flag("--sweep", args.run.sweep, "cover every ordered pair of hosts");
  app.add_flag("--plan", args.plan, "print each job's placement; run nothing");
  app.add_option("--report", args.run.report_dir, "write report.json, junit.xml, report.html here");
  app.add_flag("--resume", args.run.resume, "continue the sweep whose report is in --report");
  app.add_option("--parallel", args.run.parallel,
                 "jobs side by side while isolating hosts and links (default 4)")
      ->check(CLI::Range(1, 64));
  app.add_option("--grace", args.run.settings.grace,
                 "seconds a job may linger once its output is complete (default 3)")
      ->check(CLI::PositiveNumber & CLI::Range(0.0, 3600.0));
  auto *probe = app.add_flag("--probe", args.run.settings.probe,
                             "run pairdot-probe instead of pairdot: bandwidth, latency and "
                             "verified payloads of each link; slow links named");
  app.add_option("--sizes", args.sizes, "--probe: message sizes (pairdot-probe --sizes)")
      ->needs(probe);
  app.add_option("--step-timeout", args.step_timeout,
                 "--probe: seconds each size may take (pairdot-probe --step-timeout)")
      ->needs(probe)
      ->check(CLI::Range(0.001, 3600.0));
  app.add_option("--slow-bandwidth", args.slow_bandwidth,
                 "--probe: a link is slow below this % of the median link's bandwidth at the "
                 "largest size (default 50)")
      ->needs(probe)
      ->check(CLI::Range(0.0, 100.0));
  app.add_option("--slow-latency", args.run.slow_rule.latency_factor,
                 "--probe: a link is slow above this multiple of the median link's latency "
                 "(default 3)")
      ->needs(probe)
      ->check(CLI::Range(1.0, 1000.0));
  app.add_option("--metrics", args.metrics,
                 "write Prometheus metrics to this .prom file as the run ends (for the node "
                 "exporter's textfile collector)");
  app.add_option("--drain", args.drain,
                 "drain suspect hosts in Slurm after the run; hosts,links,switches: also both "
                 "hosts of a suspect link, the hosts under a suspect switch (default: hosts)")
      ->expected(0, 1);
  app.add_flag("--resume-drained", args.resume_drained,
               "resume the hosts pairdot drained whose links all verify in this run");
  app.add_flag("--drain-dry-run", args.drain_dry_run,
               "print the scontrol commands of --drain and --resume-drained; run none");
  auto *watch = app.add_option("--watch", args.watch.interval,
                               "--sweep every SECONDS (start to start) until SIGTERM or SIGINT, "
                               "each in a numbered directory under --report, with latest and "
                               "history.jsonl")
                    ->check(CLI::Range(0.0, 604800.0));
  app.add_option("--keep", args.watch.keep, "--watch: run directories kept (default 100)")
      ->needs(watch)
      ->check(CLI::Range(1, 1000000));
  app.add_option("--watch-count", args.watch.count, "--watch: stop after this many sweeps")
      ->needs(watch)
      ->check(CLI::Range(1, 1000000));
  app.footer("Words after -- go to every launch unchanged (a remote-shell agent, MCA "
             "parameters).\nExit status: 0 every pair verified, 1 a fault found and named, 2 "
             "usage, configuration or preflight error; --watch: 0 once stopped.");
}

std::string read_whole(const std::string &path) {
  std::optional<std::string> text = pairdot_files::file_text(path);
  if (!text) {
    throw InputError("cannot read " + path);
  }
  return std::move(*text);
}

std::vector<pairdot_hosts::Host> hosts_of(const Arguments &args) {
  if (!args.hostfile.empty()) {
    return pairdot_hosts::parse_hostfile(read_whole(args.hostfile), args.hostfile);
  }
  if (args.hosts_given) {
    return pairdot_hosts::parse_host_list(args.hosts);
  }
  return {};
}

// The scheduler the run is under: the chosen launcher's, or the one whose
// allocation this runs in.
const pairdot_launch::Scheduler *scheduler_of(const Arguments &args) {
  const pairdot_launch::Launcher *chosen =
      args.launcher.empty() ? nullptr : pairdot_launch::launcher_named(args.launcher);
  return pairdot_launch::scheduler_for(chosen != nullptr ? chosen->scheduler() : nullptr);
}

// The switches above the hosts: --topology, or the scheduler's if it knows any.
pairdot_hosts::Topology topology_of(const Arguments &args) {
  if (!args.topology.empty()) {
    return pairdot_hosts::parse_topology_conf(read_whole(args.topology), args.topology);
  }
  const pairdot_launch::Scheduler *scheduler = scheduler_of(args);
  return scheduler != nullptr ? scheduler->topology() : pairdot_hosts::Topology{};
}

int total_slots(const std::vector<pairdot_hosts::Host> &hosts) {
  long long total = 0;
  for (const auto &host : hosts) {
    total += host.slots;
  }
  return static_cast<int>(std::min<long long>(total, 1 << 24));
}

void check_combinations(const Arguments &args, const std::vector<pairdot_hosts::Host> &hosts) {
  if (args.run.sweep && hosts.size() < 2) {
    throw InputError("--sweep needs at least two hosts (--hosts or --hostfile)");
  }
  if (args.run.sweep && args.run.np != 0) {
    throw InputError("--sweep plans its own jobs: leave out --np");
  }
  if (args.run.resume && (!args.run.sweep || args.run.report_dir.empty())) {
    throw InputError("--resume needs --sweep and the --report directory of the sweep");
  }
  if (args.watching && (!args.run.sweep || args.run.report_dir.empty() || args.run.resume)) {
    throw InputError("--watch needs --sweep and --report, and no --resume");
  }
  if (!hosts.empty() && args.run.np > total_slots(hosts)) {
    throw InputError("--np " + std::to_string(args.run.np) + " is more than the " +
                     std::to_string(total_slots(hosts)) + " slots of the hosts");
  }
}

std::string program_path(const Arguments &args) {
  const std::string name = args.run.settings.probe ? "pairdot-probe" : "pairdot";
  if (!args.program.empty()) {
    if (auto found = pairdot_launch::first_executable({args.program})) {
      return *found;
    }
    throw InputError(name + " not found: " + args.program + " is no executable file");
  }
  if (auto found = pairdot_launch::first_executable(
          {own_directory() + "/" + name,
           args.run.settings.probe ? PAIRDOT_BUILD_PROBE : PAIRDOT_BUILD_PROGRAM})) {
    return *found;
  }
  throw InputError(name + " not found beside pairdot-run or in its build tree: name it with "
                          "--program");
}

// The probe's own words, checked here so that a mistake is one line, not one per job.
std::vector<std::string> probe_args(const Arguments &args) {
  std::vector<std::string> words;
  if (!args.sizes.empty()) {
    try {
      pairdot_probe::parse_sizes(args.sizes);
    } catch (const std::invalid_argument &error) {
      throw InputError(std::string("--sizes: ") + error.what());
    }
    words.insert(words.end(), {"--sizes", args.sizes});
  }
  if (args.step_timeout > 0) {
    words.insert(words.end(), {"--step-timeout", std::to_string(args.step_timeout)});
  }
  return words;
}

// What `command --version` prints.
std::string version_text(const std::string &command) {
  return pairdot_launch::output_of({command, "--version"});
}

std::string shim_path() {
  const std::string dir = own_directory();
  if (auto found = pairdot_launch::first_executable({dir + "/pairdot-rank-shim",
                                                     dir + "/../libexec/pairdot/pairdot-rank-shim",
                                                     PAIRDOT_BUILD_SHIM})) {
    return *found;
  }
  throw InputError("pairdot-rank-shim not found beside pairdot-run or in ../libexec/pairdot");
}

// The launcher the user named, or the one of the library pairdot is built with.
const pairdot_launch::Launcher &launcher_of(const Arguments &args,
                                            pairdot_launch::MpiLibrary library) {
  return args.launcher.empty() ? pairdot_launch::native_launcher(library)
                               : *pairdot_launch::launcher_named(args.launcher);
}

pairdot_launch::MpiLibrary default_library() {
  return pairdot_launch::launcher_named(PAIRDOT_DEFAULT_LAUNCHER)
      ->library()
      .value_or(pairdot_launch::MpiLibrary::mpich);
}

// MPICH 4.0's launcher tells the version of the library.
bool finalize_hang_known(pairdot_launch::MpiLibrary library,
                         const pairdot_launch::Launcher &launcher, const std::string &command,
                         const std::string &version) {
  if (library != pairdot_launch::MpiLibrary::mpich) {
    return false;
  }
  const bool hydra = &launcher == &pairdot_launch::hydra_launcher();
  const std::optional<std::string> found =
      hydra ? command : pairdot_launch::find_on_path("mpiexec.mpich");
  return found &&
         (hydra ? version : version_text(*found))
                 .find("Version:                                 4.0.") != std::string::npos;
}

RunOptions options_of(const Arguments &args, std::vector<pairdot_hosts::Host> hosts) {
  RunOptions options = args.run;
  RunSettings &settings = options.settings;
  pairdot_launch::Launch &launch = settings.launch;
  launch.program = program_path(args);
  const std::optional<pairdot_launch::MpiLibrary> built =
      pairdot_launch::program_library(launch.program);
  const pairdot_launch::MpiLibrary library = built.value_or(default_library());
  settings.launcher = &launcher_of(args, library);
  launch.mpi_plugin = pairdot_launch::srun_plugin(library);
  const std::string command = settings.launcher->command();
  const std::optional<std::string> found = pairdot_launch::find_on_path(command);
  if (!found) {
    throw InputError(command + " not found on PATH (install " + settings.launcher->owner() + ")");
  }
  launch.command = *found;
  const std::string version = version_text(launch.command);
  check_launcher(*settings.launcher, launch.command, version, launch.program, built);
  settings.finalize_hang_known =
      finalize_hang_known(library, *settings.launcher, launch.command, version);
  launch.shim = shim_path();
  pairdot_launch::send_library_logs_to_stderr(launch);
  if (settings.probe) {
    launch.program_args = probe_args(args);
  }
  settings.local_host = local_host_name();
  check_names_resolve(hosts, settings.local_host);
  if (settings.launcher == &pairdot_launch::open_mpi_launcher() &&
      args.run.report_dir.find(':') != std::string::npos) {
    // Open MPI reads what follows a colon in --output-filename as options.
    throw InputError("Open MPI cannot write a job's output under a path with ':': choose another "
                     "--report directory");
  }
  if (!args.run.report_dir.empty()) {
    check_report_dir(args.run.report_dir);
  }
  if (!args.metrics.empty()) {
    check_metrics_file(args.metrics);
    options.listeners.push_back(metrics_listener(args.metrics));
  }
  options.np = args.run.np != 0 ? args.run.np
               : hosts.empty() ? static_cast<int>(std::max(1U, std::thread::hardware_concurrency()))
                               : total_slots(hosts);
  options.hosts = std::move(hosts);
  options.slow_rule.bandwidth_fraction = args.slow_bandwidth / 100;
  options.topology = topology_of(args);
  return options;
}

// The drain the user asked for, once Slurm is known to let this user update
// nodes (or, for a dry run, read them); none if not asked.
std::optional<RunListener> drain_of(const CLI::App &app, const Arguments &args) {
  const bool drain = app.count("--drain") > 0;
  if (!drain && !args.resume_drained) {
    if (args.drain_dry_run) {
      throw InputError("--drain-dry-run goes with --drain or --resume-drained");
    }
    return std::nullopt;
  }
  std::optional<DrainScope> scope = drain ? parse_drain_scope(args.drain) : DrainScope{};
  if (!scope) {
    throw InputError("--drain takes hosts, links or switches, comma-separated: " +
                     pairdot_hosts::shown(args.drain));
  }
  scope->resume = args.resume_drained;
  if (args.run.report_dir.empty()) {
    throw InputError("--drain and --resume-drained need --report: the drain's reason names it");
  }
  const pairdot_launch::Scheduler &slurm = pairdot_launch::slurm_scheduler();
  if (std::optional<std::string> why = slurm.why_cannot_update(args.drain_dry_run)) {
    throw InputError((drain ? "--drain: " : "--resume-drained: ") + *why);
  }
  return drain_listener(slurm, *scope, args.drain_dry_run);
}

int print_plan_only(const Arguments &args, const std::vector<pairdot_hosts::Host> &hosts) {
  const pairdot_launch::Launcher &launcher = launcher_of(args, default_library());
  if (args.run.sweep) {
    print_plan(launcher, sweep_jobs(hosts));
  } else if (!hosts.empty()) {
    const int np = args.run.np != 0 ? args.run.np : total_slots(hosts);
    print_plan(launcher,
               {JobPlan{1, pairdot_model::JobKind::single, round_robin(hosts, np), np, {}}});
  } else {
    throw InputError("--plan needs hosts (--hosts or --hostfile)");
  }
  return exit_verified;
}

int fail(const std::string &what) {
  std::fprintf(stderr, "pairdot-run: %s\n", what.c_str());
  return exit_usage;
}

int run_main(int argc, char **argv) {
  // Words after "--" belong to the launcher, not to us.
  auto *const end = std::find(argv + 1, argv + argc, std::string("--"));
  Arguments args;
  if (end != argv + argc) {
    args.run.settings.launch.extra.assign(end + 1, argv + argc);
  }
  CLI::App app("Runs bounded pairdot jobs that name hosts; --sweep covers every ordered pair of "
               "hosts and names a bad host or link.",
               "pairdot-run");
  app.set_version_flag("--version", std::string("pairdot-run ") + pairdot_version::text);
  add_options(app, args);
  try {
    app.parse(static_cast<int>(end - argv), argv);
    args.hosts_given = app.count("--hosts") > 0;
    args.watching = app.count("--watch") > 0;
  } catch (const CLI::Success &help) {
    return app.exit(help);
  } catch (const CLI::ParseError &error) {
    return fail(std::string(error.what()) + " (pairdot-run --help)");
  }
  try {
    std::vector<pairdot_hosts::Host> hosts = hosts_of(args);
    // Inside an allocation its nodes are the hosts, whichever the launcher.
    const pairdot_launch::Scheduler *scheduler = scheduler_of(args);
    if (hosts.empty() && !args.plan && scheduler != nullptr) {
      hosts = scheduler->allocation_hosts();
    }
    check_combinations(args, hosts);
    if (args.plan) {
      return print_plan_only(args, hosts);
    }
    RunOptions options = options_of(args, std::move(hosts));
    if (std::optional<RunListener> drain = drain_of(app, args)) {
      options.listeners.push_back(std::move(*drain));
    }
    catch_interrupts();
    return args.watching ? watch(options, args.watch) : run(options);
  } catch (const InputError &error) {
    return fail(error.what());
  } catch (const std::exception &error) {
    std::fprintf(stderr, "pairdot-run: %s\n", error.what());
    return exit_usage;
  }
}

} // namespace

int main(int argc, char **argv) {
  try {
    return run_main(argc, argv);
  } catch (...) {
    std::fputs("pairdot-run: unexpected error\n", stderr);
    return exit_usage;
  }
}
