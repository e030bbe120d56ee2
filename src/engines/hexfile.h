#pragma once

#include <string>
#include <vector>

// Why the lines of a file are not fit to be uploaded to the device, or an empty text when they
// are. Catches binary data (control bytes other than TAB and the DOS end-of-file mark) and files
// without a single HEX record; an empty list passes, the engines report it with their own text.
std::string HexFileFault(const std::string& path, const std::vector<std::string>& lines);
