#include "sys/Limits.h"

#include <dirent.h>
#include <sys/resource.h>

bool OpenFileLimit(uint64_t& limit) {
  rlimit rl{};
  if (::getrlimit(RLIMIT_NOFILE, &rl) != 0 || rl.rlim_cur == RLIM_INFINITY) return false;
  limit = rl.rlim_cur;
  return true;
}

size_t OpenFileCount() {
  DIR* dir = ::opendir("/proc/self/fd");
  if (!dir) return 0;
  size_t n = 0;
  while (const dirent* entry = ::readdir(dir))
    if (entry->d_name[0] != '.') ++n;
  ::closedir(dir);
  return n;
}
