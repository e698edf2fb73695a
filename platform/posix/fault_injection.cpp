// Fault seam of the POSIX platform build used by the fault-injection tests.
#include "platform/fault_injection.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <string>

#include "platform/posix/fault_hooks.h"

namespace zipsalvage {
namespace {

std::mutex planLock;
FaultPlan plan;
std::string pathFilter;
std::map<int, std::string> openPaths;
int64_t writes = 0;
int64_t reads = 0;

bool matches(int descriptor) {
    if (pathFilter.empty()) return true;
    auto found = openPaths.find(descriptor);
    return found != openPaths.end() && found->second.find(pathFilter) != std::string::npos;
}

}  // namespace

void setFaultPlan(const FaultPlan& newPlan) {
    std::lock_guard<std::mutex> guard(planLock);
    plan = newPlan;
    pathFilter = newPlan.pathContains != nullptr ? newPlan.pathContains : "";
    writes = 0;
    reads = 0;
}

void clearFaultPlan() { setFaultPlan(FaultPlan{}); }

int64_t writeCallCount() {
    std::lock_guard<std::mutex> guard(planLock);
    return writes;
}

int64_t readCallCount() {
    std::lock_guard<std::mutex> guard(planLock);
    return reads;
}

namespace faults {

void noteOpened(int descriptor, const char* path) {
    std::lock_guard<std::mutex> guard(planLock);
    openPaths[descriptor] = path != nullptr ? path : "";
}

void noteClosed(int descriptor) {
    std::lock_guard<std::mutex> guard(planLock);
    openPaths.erase(descriptor);
}

uint32_t allowedWrite(int descriptor, uint32_t count) {
    std::lock_guard<std::mutex> guard(planLock);
    if (!matches(descriptor)) return count;
    ++writes;
    if (plan.failWriteNumber == 0) return count;
    bool fails =
        plan.stickyWrites ? writes >= plan.failWriteNumber : writes == plan.failWriteNumber;
    if (!fails) return count;
    // As a full disk says it: the caller asks the platform layer why the write came up short.
    errno = ENOSPC;
    return count / 2;
}

bool readFails(int descriptor) {
    std::lock_guard<std::mutex> guard(planLock);
    if (!matches(descriptor)) return false;
    ++reads;
    if (plan.failReadNumber == 0) return false;
    return plan.stickyReads ? reads >= plan.failReadNumber : reads == plan.failReadNumber;
}

uint32_t readableBytes(int descriptor, int64_t offset, uint32_t count) {
    std::lock_guard<std::mutex> guard(planLock);
    if (!matches(descriptor) || plan.unreadableFrom < 0 || offset < 0) return count;
    if (offset >= plan.unreadableTo || offset + count <= plan.unreadableFrom) return count;
    return offset < plan.unreadableFrom ? static_cast<uint32_t>(plan.unreadableFrom - offset) : 0;
}

bool tempFolderFails() {
    std::lock_guard<std::mutex> guard(planLock);
    return plan.noTempFolder;
}

}  // namespace faults
}  // namespace zipsalvage
