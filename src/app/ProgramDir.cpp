#include "app/ProgramDir.h"

#include <filesystem>

#include "formats/text.h"
#include "sys/Files.h"

namespace {

std::string GivenDir;
bool Forgotten = false;

std::string WithSlash(std::string dir) {
  if (dir.empty() || dir.back() != '/') dir += '/';
  return dir;
}

// Messages name files by their whole path, wherever the program was started from.
std::string Absolute(const std::string& path) {
  std::error_code ec;
  std::filesystem::path whole = std::filesystem::absolute(path, ec);
  if (ec) whole = path;
  return whole.lexically_normal().string();
}

std::string Alternatives(const std::vector<std::string>& names, const char* word) {
  std::string text;
  for (size_t i = 0; i < names.size(); ++i)
    text += (i == 0                  ? ""
             : i + 1 == names.size() ? std::string(" ") + word + " "
                                     : ", ") +
            Excerpt(names[i]);
  return text;
}

}  // namespace

bool HoldsOne(const std::string& dir, const std::vector<std::string>& scripts) {
  if (dir.empty()) return false;
  for (const std::string& script : scripts) {
    TFileStatus st;
    std::string error;
    if (FileStatus(WithSlash(dir) + script, st, error) == TLook::Found && st.Regular) return true;
  }
  return false;
}

std::string ProgramFileDir() {
  std::error_code ec;
  const std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec || exe.empty()) return {};
  return WithSlash(exe.parent_path().string());
}

std::string CurrentDir() {
  std::error_code ec;
  const std::string dir = std::filesystem::current_path(ec).string();
  return ec || dir.empty() ? std::string() : WithSlash(dir);
}

std::string ProgramDir() {
  if (Forgotten) return {};
  if (!GivenDir.empty()) return GivenDir;
  return ProgramFileDir();
}

void SetProgramDir(const std::string& dir) {
  Forgotten = false;
  GivenDir = dir.empty() ? std::string() : WithSlash(Absolute(dir));
}

void ForgetProgramDir() {
  GivenDir.clear();
  Forgotten = true;
}

bool ProgramDirGiven() {
  return !GivenDir.empty();
}

bool UsablePackageFolder(const std::string& dir, const std::vector<std::string>& scripts,
                         std::string& error) {
  TFileStatus st;
  switch (FileStatus(dir, st, error)) {
    case TLook::Failed:
      error = Excerpt(dir) + ": " + error;
      return false;
    case TLook::NotFound:
      error = Excerpt(dir) + ": no such folder";
      return false;
    case TLook::Found:
      break;
  }
  if (!st.Folder) {
    error = Excerpt(dir) + ": not a folder";
    return false;
  }
  std::string unreadable;
  for (const std::string& script : scripts) {
    const std::string path = (std::filesystem::path(dir) / script).string();
    std::string why;
    const TLook look = FileStatus(path, st, why);
    if (look == TLook::Found && st.Regular) return true;
    // A folder we may not look into says nothing about what it holds.
    if (look == TLook::Failed && unreadable.empty())
      unreadable = Excerpt(path) + ": cannot be read: " + why;
  }
  if (scripts.empty()) return true;
  error = unreadable.empty() ? Excerpt(dir) + ": holds no " + Alternatives(scripts, "or")
                             : unreadable;
  return false;
}

TPackageFound FindPackageFolder(const TPackageSearch& search) {
  TPackageFound found;
  auto look = [&](const std::string& dir, bool own) {
    found.LookedIn.push_back(dir);
    if (!HoldsOne(dir, search.Starts)) return false;
    found.Dir = dir;
    found.Own = own;
    return true;
  };
  if (!search.ProgramFileDir.empty() && look(search.ProgramFileDir, true)) return found;
  if (!search.Script.empty()) {
    // The script names its package: its card folders and settings lie beside it.
    found.Dir = WithSlash(std::filesystem::path(Absolute(search.Script)).parent_path().string());
    return found;
  }
  if (search.CurrentDir != search.ProgramFileDir) look(search.CurrentDir, false);
  return found;
}

std::string NoPackageText(const TPackageFound& found, const std::vector<std::string>& starts) {
  const std::vector<std::string>& dirs = found.LookedIn;
  const std::string where =
      dirs.size() == 1 ? Excerpt(dirs[0]) : "neither " + Alternatives(dirs, "nor");
  return where + " holds " + (dirs.size() == 1 ? "no " : "") + Alternatives(starts, "or");
}
