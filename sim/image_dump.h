#pragma once

#include <string>

class TSimDevice;

// Writes `bytes` to dir/name through a temporary file and a rename, so that a reader never
// sees a half-written image. False with the reason on failure.
bool WriteFileAtomic(const std::string& dir, const std::string& name, const std::string& bytes,
                     std::string& error);
// One image by name ("bank3.bin"), or every image; versions.txt goes with each.
bool DumpImage(const TSimDevice& device, const std::string& dir, const std::string& name,
               std::string& error);
bool DumpAll(const TSimDevice& device, const std::string& dir, std::string& error);
