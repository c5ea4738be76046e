#pragma once

// Checks made before any job runs; each failure is one line for the user.

#include "launcher.hpp"
#include "run_report.hpp"

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace pairdot_run {

// This machine's host name.
std::string local_host_name();
// The directory this executable is in.
std::string own_directory();
// The first of the candidates that is an executable file.
std::optional<std::string> first_executable(const std::vector<std::string> &candidates);
// The launcher's full path from PATH, if found.
std::optional<std::string> find_on_path(const std::string &command);
// What a command prints on standard output and error, within a few seconds.
std::string output_of(std::vector<std::string> argv);
// What `command --version` prints.
std::string version_text(const std::string &command);
// The library the program is linked with, if it can tell.
std::optional<Launcher> program_library(const std::string &program);

// Throws InputError when the launcher does not belong to the program's
// library or is missing.
// (version: what the launcher's --version printed; built: the program's
// library, if known.)
void check_launcher(Launcher launcher, const std::string &command, std::string_view version,
                    const std::string &program, std::optional<Launcher> built);
// Throws InputError naming the first host (this machine's own included)
// whose name does not resolve.
void check_names_resolve(const std::vector<pairdot_hosts::Host> &hosts,
                         const std::string &local_host);
// The nodes of the Slurm allocation this runs in, with their CPUs as slots.
// Throws InputError outside an allocation.
std::vector<pairdot_hosts::Host> allocation_hosts();
// Throws InputError when files cannot be written in dir (made if missing).
void check_report_dir(const std::string &dir);

} // namespace pairdot_run
