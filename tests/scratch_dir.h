#pragma once

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>

// A fresh folder for the files a test names (a card folder, a program folder), removed with the
// object. Path() ends with the separator, as those folders do.
class ScratchDir {
 public:
  ScratchDir() {
    static int counter = 0;
    dir_ = std::filesystem::temp_directory_path() /
           ("qubra-test-" + std::to_string(::getpid()) + "-" + std::to_string(++counter));
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  ~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  std::string Path() const { return dir_.string() + "/"; }

  // Writes `bytes` exactly as given to `name` (which may name sub-folders).
  void Write(const std::string& name, const std::string& bytes) const {
    std::filesystem::create_directories((dir_ / name).parent_path());
    std::ofstream(dir_ / name, std::ios::binary) << bytes;
  }
  void Remove(const std::string& name) const { std::filesystem::remove(dir_ / name); }

 private:
  std::filesystem::path dir_;
};
