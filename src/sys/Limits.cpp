#include "sys/Limits.h"

#include <dirent.h>
#include <sys/resource.h>

#include <algorithm>

namespace {

// A running child holds three descriptors here (its stdout, its stderr and the process itself)
// and a start two more for a moment; the line may open the report file for a record of its own.
constexpr size_t kFilesPerChild = 3;
constexpr size_t kFilesToStart = 2;
constexpr size_t kFilesSpare = 1;
// What the updater itself opens in a run (its libraries, the event loop, the link, the report
// and the trace), under the limit it inherits.
constexpr uint64_t kChildFiles = 12;

}  // namespace

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

size_t ChildrenRoom(uint64_t limit, size_t open) {
  const size_t needed = open + kFilesSpare + kFilesToStart + kFilesPerChild;
  if (limit < kChildFiles || limit < needed) return 0;
  return static_cast<size_t>(std::min<uint64_t>((limit - needed) / kFilesPerChild + 1, SIZE_MAX));
}
