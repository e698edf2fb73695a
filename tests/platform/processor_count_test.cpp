// processorCount against the kernel's own lists of the processors this process may use.
#include <gtest/gtest.h>

#include <charconv>
#include <fstream>
#include <string>

#include "platform/platform.h"

namespace zipsalvage {
namespace {

// The number of processors in a Linux CPU list such as "0-3,6,8-9" (the format of
// /sys/devices/system/cpu/online); -1 when the text is not such a list.
int countCpuList(const std::string& list) {
    int count = 0;
    const char* at = list.data();
    const char* end = at + list.size();
    while (at < end && *at != '\n') {
        int first = 0;
        auto [afterFirst, error] = std::from_chars(at, end, first);
        if (error != std::errc()) return -1;
        int last = first;
        at = afterFirst;
        if (at < end && *at == '-') {
            auto [afterLast, lastError] = std::from_chars(at + 1, end, last);
            if (lastError != std::errc() || last < first) return -1;
            at = afterLast;
        }
        count += last - first + 1;
        if (at < end && *at == ',') ++at;
    }
    return count > 0 ? count : -1;
}

// The process's allowed processors ("Cpus_allowed_list:" of /proc/self/status): what taskset
// or a container's cpuset leaves it. Empty when there is no such line.
std::string allowedCpuList() {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string key = "Cpus_allowed_list:";
    while (std::getline(status, line)) {
        if (line.compare(0, key.size(), key) != 0) continue;
        size_t start = line.find_first_not_of(" \t", key.size());
        return start == std::string::npos ? std::string() : line.substr(start);
    }
    return {};
}

TEST(ProcessorCount, IsAtLeastOneAndTheProcessorsThisProcessMayUse) {
    int count = processorCount();
    EXPECT_GE(count, 1);
    std::ifstream online("/sys/devices/system/cpu/online");
    std::string list;
    if (!std::getline(online, list)) GTEST_SKIP() << "no /sys/devices/system/cpu/online here";
    EXPECT_LE(count, countCpuList(list)) << "online: " << list;
    std::string allowed = allowedCpuList();
    if (!allowed.empty()) {
        EXPECT_EQ(count, countCpuList(allowed)) << "allowed: " << allowed;
    }
}

}  // namespace
}  // namespace zipsalvage
