#include "sys/StopSignals.h"

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "scratch_dir.h"

namespace {

// A conversion cut short by a signal leaves no temporary file; the signal still ends it.
TEST(RemoveOnSignal, TheFileGoesAndTheSignalStillEnds) {
  ScratchDir pkg;
  const std::string partial = pkg.Path() + ".out.svf.partial";
  // The signal, and whether the process ignored it beforehand (nohup).
  for (const auto& [signal_number, ignored] :
       {std::pair{SIGINT, false}, {SIGTERM, false}, {SIGHUP, false}, {SIGHUP, true}}) {
    std::ofstream(partial) << "half";
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      if (ignored) ::signal(signal_number, SIG_IGN);
      const TRemoveOnSignal guard(partial);
      ::raise(signal_number);
      ::_exit(7);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    if (ignored) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7);
      EXPECT_TRUE(std::filesystem::exists(partial));
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal_number) << signal_number;
      EXPECT_FALSE(std::filesystem::exists(partial)) << signal_number;
    }
  }
}

}  // namespace
