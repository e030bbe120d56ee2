#include "app/ProgramDir.h"

#include <filesystem>
#include <system_error>

#include "formats/text.h"

namespace {

std::string GivenDir;

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

}  // namespace

std::string ProgramDir() {
  if (!GivenDir.empty()) return GivenDir;
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return {};
  return WithSlash(exe.parent_path().string());
}

void SetProgramDir(const std::string& dir) {
  if (dir.empty()) {
    GivenDir.clear();
    return;
  }
  // Messages name files by their whole path, wherever the program was started from.
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(dir, ec);
  if (ec) path = dir;
  GivenDir = WithSlash(path.lexically_normal().string());
}

bool ProgramDirGiven() {
  return !GivenDir.empty();
}

std::string PackageFolderProblem(const std::string& dir,
                                 std::initializer_list<const char*> scripts) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::status(dir, ec);
  if (ec && ec != std::errc::no_such_file_or_directory) return Excerpt(dir) + ": " + ec.message();
  if (!std::filesystem::exists(st)) return Excerpt(dir) + ": no such folder";
  if (!std::filesystem::is_directory(st)) return Excerpt(dir) + ": not a folder";
  if (scripts.size() == 0) return {};
  std::string names, unreadable;
  for (const char* script : scripts) {
    const std::filesystem::path path = std::filesystem::path(dir) / script;
    if (std::filesystem::is_regular_file(path, ec)) return {};
    // A folder we may not look into says nothing about what it holds.
    if (ec && ec != std::errc::no_such_file_or_directory && unreadable.empty())
      unreadable = Excerpt(path.string()) + ": cannot be read: " + ec.message();
    names += (names.empty() ? "" : " or ") + std::string(script);
  }
  return unreadable.empty() ? Excerpt(dir) + ": holds no " + names : unreadable;
}
