#pragma once

#include <cstddef>
#include <cstdint>

// The open-file limit of this process; false when there is none.
bool OpenFileLimit(uint64_t& limit);
// How many descriptors this process holds open.
size_t OpenFileCount();
// How many more children fit under the open-file `limit` with `open` descriptors held here:
// each holds a few here for as long as it runs, and needs its own under the same limit. 0 when
// not even one does.
size_t ChildrenRoom(uint64_t limit, size_t open);
