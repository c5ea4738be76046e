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

// Throws InputError when the launcher does not belong to the program's
// library or is missing. (version: what the launcher's --version printed;
// built: the program's library, if known.)
void check_launcher(const pairdot_launch::Launcher &launcher, const std::string &command,
                    std::string_view version, const std::string &program,
                    std::optional<pairdot_launch::MpiLibrary> built);
// Throws InputError naming the first host (this machine's own included)
// whose name does not resolve.
void check_names_resolve(const std::vector<pairdot_hosts::Host> &hosts,
                         const std::string &local_host);
// Throws InputError when files cannot be written in dir (made if missing).
void check_report_dir(const std::string &dir);
// Throws InputError when the textfile collector would not read path or it
// cannot be written.
void check_metrics_file(const std::string &path);

} // namespace pairdot_run
