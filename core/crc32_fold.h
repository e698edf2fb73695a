// The CRC-32 of long runs by carry-less multiplication, where the processor has it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/crc32.h"

namespace zipsalvage {

// Runs at least this long take the folded path; shorter ones cost more to set up than to table.
inline constexpr size_t kFoldedCrcMinimumBytes = 64;

// True when the processor has PCLMULQDQ and SSE4.1 (asked once per call: callers cache it).
bool haveCarrylessMultiply();

// crc32Update over `count` >= kFoldedCrcMinimumBytes bytes; only where haveCarrylessMultiply().
uint32_t crc32Folded(uint32_t crc, const uint8_t* bytes, size_t count);

}  // namespace zipsalvage
