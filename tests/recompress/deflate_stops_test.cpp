// The ways a deflate run stops short: cancel, a short write, no memory. Each must give 0, stop
// before the next literal or match, and leave no last block behind.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "platform/fault_injection.h"
#include "tests/recompress/block_reader.h"
#include "tests/recompress/deflate_harness.h"

namespace zipsalvage::testing {
namespace {

struct FaultPlanGuard {
    explicit FaultPlanGuard(const FaultPlan& plan) { setFaultPlan(plan); }
    ~FaultPlanGuard() { clearFaultPlan(); }
};

bool isPrefixOf(const Bytes& prefix, const Bytes& whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

TEST(DeflateStops, CancelBeforeTheFirstItemWritesNothing) {
    RunFlags flags;
    requestCancel(flags);
    DeflateRun run = deflateBytes(makeText(100000, 1), &flags);
    EXPECT_FALSE(run.completed);
    EXPECT_EQ(run.bytesWritten, 0u);
    EXPECT_TRUE(run.output.empty());
}

TEST(DeflateStops, CancelDuringTheRunEndsWithoutALastBlock) {
    // The input comes through a pipe; the cancel is set after 300 KB, before the pipe closes,
    // so the encoder still has a step to make when it sees the flag.
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    Bytes input = makeText(300000, 2);
    RunFlags flags;
    std::thread writer([&] {
        for (size_t done = 0; done < input.size();) {
            ssize_t wrote =
                ::write(ends[1], input.data() + done, std::min<size_t>(4096, input.size() - done));
            if (wrote <= 0) break;
            done += static_cast<size_t>(wrote);
        }
        requestCancel(flags);
        ::close(ends[1]);
    });
    DeflateRun run = deflateFrom(ends[0], flags);
    writer.join();
    ::close(ends[0]);
    EXPECT_FALSE(run.completed);
    bool complete = true;
    Bytes inflated = zlibInflate(run.output, &complete);
    EXPECT_FALSE(complete);
    EXPECT_TRUE(isPrefixOf(inflated, input));
    EXPECT_FALSE(readDeflateStructure(run.output).ok);
}

TEST(DeflateStops, ShortWriteStopsAtTheNextItem) {
    Bytes input = makeRandom(1 << 20, 3);
    FaultPlan plan;
    plan.failWriteNumber = 3;
    plan.pathContains = "output.bin";
    FaultPlanGuard guard(plan);
    RunFlags flags;
    DeflateRun run = deflateBytes(input, &flags);
    EXPECT_FALSE(run.completed);
    EXPECT_TRUE(hasWriteFailed(flags));
    // The third write happens inside the first stored block (32767 items); that block is
    // completed, and the loop stops before the next item: about one block of the input read.
    EXPECT_LT(run.bytesWritten, 33000u + 1024u);
    EXPECT_LT(run.inputConsumed, 65536 + 33000);
}

TEST(DeflateStops, ShortWriteInTheLastBlockIsStillAFailure) {
    Bytes input = makeText(300000, 4);
    int64_t writesInside = 0;
    {
        FaultPlan plan;
        plan.pathContains = "output.bin";
        FaultPlanGuard guard(plan);
        ASSERT_TRUE(deflateBytes(input).completed);
        writesInside = writeCallCount() - 1;  // less the caller's final write
    }
    ASSERT_GT(writesInside, 0);
    FaultPlan plan;
    plan.failWriteNumber = writesInside;
    plan.pathContains = "output.bin";
    FaultPlanGuard guard(plan);
    RunFlags flags;
    EXPECT_FALSE(deflateBytes(input, &flags).completed);
    EXPECT_TRUE(hasWriteFailed(flags));
}

TEST(DeflateStops, NoMemoryMeansNothingReadOrWritten) {
    Bytes input = makeText(5000, 5);
    for (int failing = 1; failing <= 6; ++failing) {
        SCOPED_TRACE(failing);
        DeflateRun run = deflateBytes(input, nullptr, failing);
        EXPECT_FALSE(run.completed);
        EXPECT_EQ(run.bytesWritten, 0u);
        EXPECT_EQ(run.inputConsumed, 0);
    }
    EXPECT_TRUE(deflateBytes(input, nullptr, 7).completed);  // six allocations only
}

}  // namespace
}  // namespace zipsalvage::testing
