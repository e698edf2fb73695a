// The line under the progress page's log: the bytes of the archive read and their rate.
#pragma once

#include <cstdint>
#include <string>

namespace zipsalvage {

// "512 B", "12.0 KiB", "3.1 MiB", "1.25 GiB".
std::string byteCountText(uint64_t bytes);

// "12.0 MiB of 40.0 MiB, 3.1 MiB/s"; without the rate until half a second has passed, when it
// would say more about the start than about the run.
std::string progressText(uint64_t doneBytes, uint64_t totalBytes, uint64_t elapsedMs);

}  // namespace zipsalvage
