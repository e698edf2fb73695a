// Memory exhausted at any allocation of a legacy method: the method fails, writes nothing and
// releases what it had (the sanitizer build's leak check holds it to that).
#include <gtest/gtest.h>

#include "core/memory_blocks.h"
#include "tests/legacy/legacy_decoding.h"

namespace zipsalvage::testing {
namespace {

// A small valid stream of each method: two literal codes, empty follower sets and one byte
// value, or two trees of equal-length codes and one raw literal.
Bytes smallStream(uint16_t method) {
    if (method == 1) return Bytes{'A', 0x84, 0x00};  // codes 65, 66 in 9 bits
    if (method == 6) return Bytes{3, 0xF5, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF5, 0x83, 0};
    Bytes stream(192, 0);  // 256 follower counts of 0
    stream.push_back('A');
    return stream;
}

TEST(NoMemory, EveryAllocationFailureFailsTheMethodCleanly) {
    for (int methodNumber : {1, 3, 6}) {
        auto method = static_cast<uint16_t>(methodNumber);
        DirectoryEntry entry;
        entry.method = method;
        Bytes data = smallStream(method);
        entry.compressedSize = static_cast<uint32_t>(data.size());
        entry.uncompressedSize = method == 1 ? 2 : 1;
        MethodRun whole = runEntryMethod(data, entry);
        ASSERT_EQ(whole.result, 1) << method;
        ASSERT_EQ(whole.output.size(), entry.uncompressedSize) << method;
        bool sawFailure = false;
        for (int countdown = 1; countdown <= 8; ++countdown) {
            failAllocationAfter(countdown);
            MethodRun run = runEntryMethod(data, entry);
            failAllocationAfter(0);
            if (run.result == 1) {
                EXPECT_EQ(run.output, whole.output) << method << " " << countdown;
                continue;
            }
            sawFailure = true;
            EXPECT_TRUE(run.output.empty()) << method << " " << countdown;
        }
        EXPECT_TRUE(sawFailure) << method;
    }
    releaseCachedBlocks();
}

}  // namespace
}  // namespace zipsalvage::testing
