#include "image_dump.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sim_device.h"

bool WriteFileAtomic(const std::string& dir, const std::string& name, const std::string& bytes,
                     std::string& error) {
  const std::string path = dir + "/" + name;
  const std::string tmp = path + ".tmp";
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  bool ok = f != nullptr;
  if (ok) ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  if (f && std::fclose(f) != 0) ok = false;
  if (ok) ok = std::rename(tmp.c_str(), path.c_str()) == 0;
  if (!ok) {
    error = "cannot write " + path + ": " + std::strerror(errno);
    unlink(tmp.c_str());
  }
  return ok;
}

bool DumpImage(const TSimDevice& device, const std::string& dir, const std::string& name,
               std::string& error) {
  for (const auto& [image, bytes] : device.Images()) {
    if (image == name && !WriteFileAtomic(dir, image, bytes, error)) return false;
  }
  return WriteFileAtomic(dir, "versions.txt", device.VersionTable(), error);
}

bool DumpAll(const TSimDevice& device, const std::string& dir, std::string& error) {
  for (const auto& [image, bytes] : device.Images()) {
    if (!WriteFileAtomic(dir, image, bytes, error)) return false;
  }
  return WriteFileAtomic(dir, "versions.txt", device.VersionTable(), error);
}
