#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// Child processes, behind one seam: the line starts its devices' children through a
// TChildRunner, which tests replace with a fake that says what each child reports.

// What starts a child. Every text is passed as the bytes it is, never decoded.
struct TChildCommand {
  std::string Program;            // a path, or a name looked up in PATH
  std::vector<std::string> Args;  // after the program's own name
  // "NAME=VALUE": set in the child over what it inherits.
  std::vector<std::string> Environment;
  // Sent to the child when this process ends; 0 for none.
  int ParentDeathSignal = 0;
};

// A child writes more than this on stderr: only its first lines say what failed.
inline constexpr size_t kMaxChildStderr = 64 * 1024;

// How a child ended.
struct TChildEnd {
  int ExitCode = 0;    // when it exited
  int Signal = 0;      // the signal that ended it; 0 when it exited
  std::string Stderr;  // the first kMaxChildStderr bytes it wrote there
};

// What a child reports, on the event loop; End comes last, once its output has been read.
struct TChildEvents {
  std::function<void(const std::string& line)> Line;  // a whole line of its stdout, without '\n'
  std::function<void(const TChildEnd& end)> End;
};

// A child started. Destroyed while it runs, it is killed and waited for (a few seconds at most).
class TChild {
 public:
  virtual ~TChild() = default;
  // Sends it `signal_number`; nothing once it has ended.
  virtual void Signal(int signal_number) = 0;
};

class TChildRunner {
 public:
  virtual ~TChildRunner() = default;
  // Starts `command`, its stdin /dev/null; false, with the reason, when it cannot be started.
  [[nodiscard]] virtual bool Start(const TChildCommand& command, TChildEvents events,
                                   std::unique_ptr<TChild>& child, std::string& error) = 0;
  // How many more children the open-file limit leaves room for, that limit in `limit`: 0 when
  // not even one fits, SIZE_MAX when there is no limit.
  virtual size_t Room(uint64_t& limit) const = 0;
};

// Children as the system runs them.
std::unique_ptr<TChildRunner> MakeSystemChildRunner();
