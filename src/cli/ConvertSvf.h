#pragma once

#include <iostream>
#include <string>

#include "cli/Options.h"

// --convert-svf IN OUT [--tck-hz F]: converts a standard SVF file into an effect file the device
// plays. Errors and warnings go to `err` as "IN:line: text", a summary to `out`. Returns 0 when
// OUT was written, 1 when not (OUT is then left as it was), 2 when IN and OUT are one file.
int RunConvertSvf(const Options& options, std::ostream& out = std::cout,
                  std::ostream& err = std::cerr);
