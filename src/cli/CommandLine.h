#pragma once

#include <cstdint>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "app/ProgramDir.h"
#include "cli/Options.h"

// Parses the arguments after the program name. False, with a one-line reason, on a usage error.
[[nodiscard]] bool ParseCommandLine(const std::vector<std::string>& args, Options& options,
                                    std::string& error);

// Every option once, in --help's order: what the parser, the usage, --help and the check of
// combinations are made from.
const std::vector<TOptionSpec>& OptionTable();

// Every form of the command line, one per line.
std::string UsageLine();
// What follows a usage error: the form of the option `error` begins with (a mode's whole form
// for a mode's option), on one line, then where every option is told.
std::string UsageHint(const std::string& error);
std::string HelpText();

// The main script a mode works on: the SCRIPT argument unchanged, otherwise the program folder's
// readid.ini or script.ini.
std::string ScriptPathFor(const Options& options, const std::string& program_dir);

// --check: prints the findings (the seal's problems among them), the seal of a verified package
// and a summary on `out`; 0 when nothing was found, 1 otherwise.
int RunCheck(const Options& options, const std::string& program_dir, std::ostream& out = std::cout);

// Makes the mode's package folder the program folder: --folder DIR, which must exist and hold
// the script the mode starts from, or else the folder FindPackageFolder answers. False with the
// error line: a usage error (`usage_error`), or that no folder holds a package.
// The window without a package folder gets none (ForgetProgramDir) and asks for one itself.
[[nodiscard]] bool UseFolder(const Options& options, bool& usage_error, std::string& error);

// Handles every mode that needs no window and no display: usage errors (status 2, a --trust
// file without a key among them), --help, --version, --check, --seal, --batch, --line and
// --list-ports; makes --folder the program folder. Returns nothing when the window is to open,
// with `options` filled in. A window mode's error is also left in `window_error`: started from
// a menu, its user sees no stderr.
std::optional<int> RunWithoutWindow(int argc, char** argv, Options& options,
                                    std::string& window_error);
