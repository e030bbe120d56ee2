#pragma once

#include <string>

#include "line/ProductionLine.h"

struct Options;

// How --line and the line window run their devices: this program as each child, with
// --folder, --timeout, --report, --readid, --trust, --require-seal and SCRIPT of `options`
// passed on, -j, and the settings of the package folder `program_dir` (an unreadable file is
// said on stderr).
TProductionLine::TConfig LineConfig(const Options& options, const std::string& program_dir);

// --line from the command line: reads the list, refuses clashes before anything starts, and
// runs the line with SIGINT and SIGTERM forwarded to the children, started by `children`.
int RunLine(const Options& options, const std::string& program_dir, TChildRunner& children);
