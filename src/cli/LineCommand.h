#pragma once

#include <string>

struct Options;

// --line from the command line: reads the list, refuses clashes before anything starts, and
// runs the line with SIGINT and SIGTERM forwarded to the children.
int RunLine(const Options& options, const std::string& program_dir);
