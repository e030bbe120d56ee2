#pragma once

#include <cstddef>
#include <cstdint>

// The open-file limit of this process; false when there is none.
bool OpenFileLimit(uint64_t& limit);
// How many descriptors this process holds open.
size_t OpenFileCount();
