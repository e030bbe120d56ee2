#pragma once

#include <string>

// The one place where system error numbers become text.

// The system's own description of errno value `err`, e.g. "Permission denied".
std::string SysErrorText(int err);
