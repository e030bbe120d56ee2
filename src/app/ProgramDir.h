#pragma once

#include <string>

// The folder of the running program file, ending with "/"; "" (the current folder) if unknown.
std::string ProgramDir();
