// processorCount against the kernel's own list of online processors.
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

TEST(ProcessorCount, IsAtLeastOneAndMatchesTheOnlineProcessors) {
    int count = processorCount();
    EXPECT_GE(count, 1);
    std::ifstream online("/sys/devices/system/cpu/online");
    std::string list;
    if (!std::getline(online, list)) GTEST_SKIP() << "no /sys/devices/system/cpu/online here";
    EXPECT_EQ(count, countCpuList(list)) << "online: " << list;
}

}  // namespace
}  // namespace zipsalvage
