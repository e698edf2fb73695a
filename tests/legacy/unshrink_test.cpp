// Unshrink on hand-built LZW streams: the KwKwK case, code-size growth, partial clearing, and
// how damaged streams end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "extract/methods.h"
#include "tests/legacy/bit_writer.h"
#include "tests/support/memory_source.h"

namespace zipsalvage::testing {
namespace {

constexpr uint32_t kControl = 256;

std::string asText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }

// Codes of one width each; `width` may change between calls.
struct CodeStream {
    BitWriter writer;
    uint32_t width = 9;
    CodeStream& codes(std::initializer_list<uint32_t> values) {
        for (uint32_t value : values) writer.put(value, width);
        return *this;
    }
};

struct Unshrunk {
    int result;
    Bytes output;
};

Unshrunk runUnshrink(const Bytes& data, uint32_t recordedSize, size_t available = SIZE_MAX) {
    DecoderBench bench(data, recordedSize);
    bench.input.available = available;
    int result = ranToEnd(unshrink(bench.context)) ? 1 : 0;
    return {result, bench.output()};
}

TEST(Unshrink, FreeCodeRightAfterItsPrefixIsThePreviousStringPlusItsFirstByte) {
    CodeStream stream;
    stream.codes({65, 257});  // 257 is not yet defined when it arrives: the KwKwK case
    Unshrunk run = runUnshrink(stream.writer.bytes, 3);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(asText(run.output), "AAA");

    CodeStream chain;
    chain.codes({66, 257, 258, 66});  // B, BB, BBB, B: each new code extends the last
    run = runUnshrink(chain.writer.bytes, 7);
    EXPECT_EQ(asText(run.output), "BBBBBBB");
}

TEST(Unshrink, DataTooShortForACodeEndsBeforeIt) {
    CodeStream stream;
    stream.codes({65, 66, 67});  // 27 bits: 4 bytes, the last holding 3 bits of code 67 + pad
    Bytes data = stream.writer.bytes;
    for (size_t cut = 0; cut <= data.size(); ++cut) {
        Bytes head(data.begin(), data.begin() + static_cast<long>(cut));
        Unshrunk run = runUnshrink(head, 3);
        EXPECT_EQ(run.result, 1) << cut;
        // Two bytes complete code 65, three code 66, four code 67.
        const char* expected[] = {"", "", "A", "AB", "ABC"};
        EXPECT_EQ(asText(run.output), expected[cut]) << cut;
    }
}

TEST(Unshrink, CodeSizeGrowsToThirteenBitsAndNoFurther) {
    CodeStream stream;
    stream.codes({65});
    for (int step = 0; step < 4; ++step) {
        stream.codes({kControl, 1});
        ++stream.width;
    }
    EXPECT_EQ(stream.width, 13u);
    stream.codes({kControl, 1});  // a fifth increase has no room in the tables: ignored
    stream.codes({66, 67});
    Unshrunk run = runUnshrink(stream.writer.bytes, 3);
    EXPECT_EQ(asText(run.output), "ABC");
}

TEST(Unshrink, PartialClearOfAFullTableFreesTheLeavesOnly) {
    CodeStream stream;
    std::string expected = "A";
    stream.codes({65, 66, 257, 67});  // adds 257 = AB, 258 = BA, 259 = AB+C
    expected += "BABC";
    // Literals fill codes 260 to 8191; each new code is a leaf.
    uint32_t last = 0;
    for (uint32_t code = 260; code < 8192; ++code) {
        last = 'a' + code % 26;
        stream.codes({last});
        expected += static_cast<char>(last);
    }
    // The table is full: these add nothing, and take the output past one 8192-byte window.
    for (int extra = 0; extra < 300; ++extra) {
        stream.codes({'0' + static_cast<uint32_t>(extra % 10)});
        expected += static_cast<char>('0' + extra % 10);
    }
    last = '9';
    stream.codes({kControl, 2});
    // 257 is the prefix of 259 and stays; 258 and 259 are freed, so the next code is 258.
    stream.codes({257, 258, 259});
    std::string x(1, static_cast<char>(last));
    expected += "AB" + x + "A" + "AB" + x;  // 258 = last+A, 259 = 257+last
    Unshrunk run = runUnshrink(stream.writer.bytes, static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(asText(run.output), expected);
}

TEST(Unshrink, StringThatExactlyFillsTheWindowIsWrittenWhole) {
    CodeStream stream;
    std::string expected;
    for (int index = 0; index < 8190; ++index) {
        uint32_t literal = 'a' + static_cast<uint32_t>(index % 3);
        stream.codes({literal});
        expected += static_cast<char>(literal);
    }
    stream.codes({257, 'z'});  // "ab" takes the window to 8192: it is written out first
    expected += "abz";
    Unshrunk run = runUnshrink(stream.writer.bytes, static_cast<uint32_t>(expected.size()));
    EXPECT_EQ(asText(run.output), expected);
}

TEST(Unshrink, WalkThatWouldNotEndStopsDecodingAndKeepsTheOutput) {
    CodeStream stream;
    // After the clear the previous code (257) is itself free, so a free code read next would
    // stand for itself forever.
    stream.codes({65, 66, 257, kControl, 2, 259, 67});
    Unshrunk run = runUnshrink(stream.writer.bytes, 100);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(asText(run.output), "ABAB");

    CodeStream firstFree;
    firstFree.codes({300, 300, 65});  // the first code already undefined
    run = runUnshrink(firstFree.writer.bytes, 100);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, Bytes{300 & 0xFF});
}

TEST(Unshrink, OutputStopsOnceTheRecordedSizeIsReached) {
    // Each code extends the previous string by one byte: damaged data can ask for megabytes.
    CodeStream stream;
    stream.codes({65});
    for (uint32_t code = 257; code < 512; ++code) stream.codes({code});
    Unshrunk run = runUnshrink(stream.writer.bytes, 1000);
    EXPECT_GE(run.output.size(), 1000u);
    EXPECT_LE(run.output.size(), 1000u + 8192u);
    EXPECT_EQ(run.output, Bytes(run.output.size(), 'A'));
}

}  // namespace
}  // namespace zipsalvage::testing
