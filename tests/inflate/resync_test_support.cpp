// The deflate path with recovery past damage over a stream in memory: see resync_test_support.h.
#include "tests/inflate/resync_test_support.h"

#include <gtest/gtest.h>

#include <vector>

#include "core/crc32.h"
#include "extract/inflate_resync.h"
#include "tests/inflate/inflate_test_support.h"

namespace zipsalvage::testing {

uint32_t crcOf(const Bytes& bytes) { return ~crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size()); }

Recovered recover(const Bytes& stream, const Bytes& original) {
    Recovered recovered;
    for (int pass = 0; pass < 2; ++pass) {
        DecoderBench bench(stream, static_cast<uint32_t>(original.size()));
        bench.context.unknown = &recovered.unknown;
        recovered.unknown.ranges.clear();
        bench.context.recordedCrc = crcOf(original);
        bench.context.crcKnown = 1;
        bench.context.knownDamaged = pass;
        bench.context.repair = &recovered.repair;
        recovered.result = inflateWithResync(bench.context, false);
        recovered.output = bench.output();
        if (!ranToEnd(recovered.result) || recovered.output.size() != original.size() ||
            crcOf(recovered.output) == crcOf(original)) {
            break;
        }
    }
    return recovered;
}

void expectNothingInvented(const Bytes& original, const Recovered& recovered,
                           const std::string& what) {
    ASSERT_LE(recovered.output.size(), original.size()) << what;
    std::vector<uint8_t> unknown(recovered.output.size(), 0);
    for (const ByteRange& range : recovered.unknown.ranges) {
        ASSERT_LE(range.end, recovered.output.size()) << what;
        for (uint64_t at = range.start; at < range.end; ++at) unknown[at] = 1;
    }
    for (size_t at = 0; at < recovered.output.size(); ++at) {
        if (unknown[at]) {
            ASSERT_EQ(recovered.output[at], 0) << what << " at " << at;
        } else {
            ASSERT_EQ(recovered.output[at], original[at]) << what << " at " << at;
        }
    }
}

}  // namespace zipsalvage::testing
