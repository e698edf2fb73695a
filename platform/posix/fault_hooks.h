// Internal: the hooks the POSIX files call when built with ZIPSALVAGE_FAULT_INJECTION.
#pragma once

#include <cstdint>

namespace zipsalvage::faults {

void noteOpened(int descriptor, const char* path);
void noteClosed(int descriptor);
// How many of `count` bytes the next write/read may move (count when no fault applies).
uint32_t allowedWrite(int descriptor, uint32_t count);
bool readFails(int descriptor);
// How many of `count` bytes at `offset` can be read before an unreadable span.
uint32_t readableBytes(int descriptor, int64_t offset, uint32_t count);
bool tempFolderFails();

}  // namespace zipsalvage::faults
