// Every decoder says how it ended and how far it read: wrong data, missing data and a finished
// stream are told apart, and a finished deflate stream knows where its data ends.
#include <gtest/gtest.h>

#include "extract/huffman_decoders.h"
#include "extract/methods.h"
#include "tests/inflate/inflate_test_support.h"
#include "tests/support/memory_source.h"

namespace zipsalvage::testing {
namespace {

TEST(DecoderEndings, AFinishedDeflateStreamEndsAtTheByteOfItsLastBit) {
    Bytes text = makeText(70000, 3);
    for (int level : {0, 1, 9}) {
        Bytes stream = zlibDeflate(text, level);
        size_t streamSize = stream.size();
        // What follows the stream (the next header, say) must not count as the entry's.
        Bytes followed = stream;
        for (int index = 0; index < 40; ++index) followed.push_back(0x50);
        // Recorded too long: the data may reach as far as the archive does.
        DecoderBench bench(followed, static_cast<uint32_t>(text.size()),
                           static_cast<int64_t>(followed.size()));
        DecodeResult result = inflate(bench.context);
        EXPECT_EQ(result.end, DecodeEnd::kDone) << level;
        EXPECT_EQ(result.consumed, streamSize) << level;
        EXPECT_EQ(result.produced, text.size()) << level;
        EXPECT_EQ(bench.output(), text) << level;
    }
}

TEST(DecoderEndings, MissingDataIsNotWrongData) {
    Bytes text = makeText(5000, 4);
    Bytes stream = zlibDeflate(text, 6);
    {
        DecoderBench bench(stream, 5000, static_cast<int64_t>(stream.size()));
        bench.input.available = stream.size() / 2;  // the archive ends inside the entry
        EXPECT_EQ(inflate(bench.context).end, DecodeEnd::kInputEnded);
    }
    {
        Bytes wrong = stream;
        wrong[0] = 0xFF;  // block type 3 does not exist (RFC 1951 3.2.3)
        DecoderBench bench(wrong, 5000);
        EXPECT_EQ(inflate(bench.context).end, DecodeEnd::kCorruptData);
    }
    {
        DecoderBench bench(text, 5000, 5000);
        bench.input.available = 2500;
        DecodeResult result = extractStored(bench.context);
        EXPECT_EQ(result.end, DecodeEnd::kInputEnded);
        EXPECT_EQ(result.produced, 2500u) << "every byte before the end is kept";
    }
}

TEST(DecoderEndings, ACancelOrAFailedWriteOverrulesTheData) {
    Bytes text = makeText(3000, 5);
    DecoderBench bench(text, 3000, 3000);
    requestCancel(bench.flags);
    EXPECT_EQ(extractStored(bench.context).end, DecodeEnd::kCancelled);
    DecoderBench failing(zlibDeflate(text, 6), 3000);
    markWriteFailed(failing.flags);
    EXPECT_EQ(inflate(failing.context).end, DecodeEnd::kOutputFailed);
}

}  // namespace
}  // namespace zipsalvage::testing
