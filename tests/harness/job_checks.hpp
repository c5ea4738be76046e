#pragma once

// What an ended test job must show: every rank ran to its end and exited 0,
// the launcher too, the output passes its checker and the call records theirs;
// or, for an injected fault, the failure it must cause.

#include "bounded_job.hpp"
#include "job_options.hpp"
#include "launcher.hpp"

#include <string>

namespace pairdot_harness {

// Throws Failure naming the first thing amiss. launcher: none for a singleton.
void check_job(const JobOptions &options, const pairdot_launch::Launcher *launcher,
               const std::string &dir, const EndedJob &job);

} // namespace pairdot_harness
