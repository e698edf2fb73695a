// Test seam of the POSIX platform build `zs_platform_faulty`: makes chosen reads or writes fail.
#pragma once

#include <cstdint>

namespace zipsalvage {

struct FaultPlan {
    // The write (counted from 1 over all files) that comes up short, and every one after it
    // when `stickyWrites` is set (a full disk: errno says ENOSPC). 0 = none.
    int64_t failWriteNumber = 0;
    bool stickyWrites = true;
    // The read that returns 0 bytes (an I/O error), and every later one when `stickyReads`.
    int64_t failReadNumber = 0;
    bool stickyReads = false;
    // Bytes [unreadableFrom, unreadableTo) of every matching file cannot be read, as on a disk
    // with bad sectors: a read that reaches them returns the bytes before them, and one that
    // starts among them fails. Negative = none.
    int64_t unreadableFrom = -1;
    int64_t unreadableTo = -1;
    // Only files whose path contains this text are affected (empty = every file).
    const char* pathContains = "";
    // Make runTempFolder fail.
    bool noTempFolder = false;
};

void setFaultPlan(const FaultPlan& plan);
void clearFaultPlan();
int64_t writeCallCount();
int64_t readCallCount();

}  // namespace zipsalvage
