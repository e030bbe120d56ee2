#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "scratch_dir.h"

// The minisign tool, run as a package's author runs it: the tests sign with it and hold its
// verdicts against ours.

inline std::string ShellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// The tool's exit status, its output thrown away; -1 when it could not be run.
inline int RunMinisign(const std::string& args) {
  const int status = std::system(("minisign " + args + " </dev/null >/dev/null 2>&1").c_str());
  return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

inline bool HaveMinisign() {
  return RunMinisign("-v") == 0;
}

inline std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// A key pair made by the tool, without a password.
struct TToolKey {
  std::string Pub, Sec;

  TToolKey(const ScratchDir& dir, const std::string& name)
      : Pub(dir.Path() + name + ".pub"), Sec(dir.Path() + name + ".sec") {
    RunMinisign("-G -W -f -p " + ShellQuote(Pub) + " -s " + ShellQuote(Sec));
  }
  // Signs `file` into `file`.minisig, prehashed or in the legacy form, with the tool's trusted
  // comment unless `trusted` is given.
  bool Sign(const std::string& file, bool legacy = false, const char* trusted = nullptr) const {
    return RunMinisign("-S " + std::string(legacy ? "-l " : "") +
                       (trusted ? "-t " + ShellQuote(trusted) + " " : "") + "-s " +
                       ShellQuote(Sec) + " -m " + ShellQuote(file)) == 0;
  }
};
