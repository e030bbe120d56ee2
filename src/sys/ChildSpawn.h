#pragma once

#include <string>

#include "sys/Child.h"

// The system calls behind the child runner, without an event loop.

struct TSpawned {
  int Pid = -1;
  int PidFd = -1;   // readable once the child has ended
  int Stdout = -1;  // read ends, non-blocking
  int Stderr = -1;
};

// Forks and executes `command`. False, with the reason, when the program could not be run; the
// child is then already reaped.
[[nodiscard]] bool SpawnChild(const TChildCommand& command, TSpawned& spawned, std::string& error);
// Waits for the child to be gone and says how it ended.
void ReapChild(int pid, TChildEnd& end);
// Closes what SpawnChild opened.
void CloseSpawned(TSpawned& spawned);
