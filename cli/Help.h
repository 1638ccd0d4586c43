// SPDX-License-Identifier: MIT
// kvn's help texts, written by hand so that every line fits 80 columns (as `xz --help` and
// `flac --help` do): the overview of `kvn --help` and `kvn help`, and each command's own text
// for `kvn COMMAND --help` and `kvn help COMMAND`. Pure text; any thread.
#pragma once

#include <string>

namespace kavrin::cli {

// The overview: what kvn is, its commands, the global options and the exit statuses.
std::string OverviewHelp();

// The help of `command` (an alias such as "p" too); empty when there is no such command.
std::string CommandHelp(const std::string& command);

}  // namespace kavrin::cli
