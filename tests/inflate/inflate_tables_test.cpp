// The RFC 1951 tables, and what inflate derives from them for the table builder: each base
// follows from the one before and its extra bits (RFC 1951 3.2.5), and the entries beyond the
// RFC's alphabets are what damaged and Deflate64 data need.
#include "extract/inflate_tables.h"

#include <gtest/gtest.h>

namespace zipsalvage {
namespace {

TEST(DeflateFormat, EachBaseFollowsFromThePreviousAndItsExtraBits) {
    EXPECT_EQ(kLengthBase[0], 3);
    for (int code = 1; code < kLengthCodes - 1; ++code) {
        EXPECT_EQ(kLengthBase[code], kLengthBase[code - 1] + (1 << kLengthExtraBits[code - 1]))
            << code;
        EXPECT_EQ(kLengthExtraBits[code], code < 8 ? 0 : code / 4 - 1) << code;
    }
    EXPECT_EQ(kLengthBase[28], 258);  // symbol 285: 258 with no extra bits
    EXPECT_EQ(kLengthExtraBits[28], 0);
    EXPECT_EQ(kDistanceBase[0], 1);
    for (int code = 1; code < kDistanceSymbols; ++code) {
        EXPECT_EQ(kDistanceBase[code],
                  kDistanceBase[code - 1] + (1 << kDistanceExtraBits[code - 1]))
            << code;
        EXPECT_EQ(kDistanceExtraBits[code], code < 4 ? 0 : code / 2 - 1) << code;
    }
    EXPECT_EQ(kDistanceBase[29] + (1 << kDistanceExtraBits[29]) - 1, 32768);
}

TEST(InflateTables, LengthsBeyondTheAlphabetAreInvalid) {
    for (int index = 0; index < kLengthCodes; ++index) {
        EXPECT_EQ(kInflateLengthBase[index], kLengthBase[index]) << index;
        EXPECT_EQ(kInflateLengthExtraBits[index], kLengthExtraBits[index]) << index;
    }
    for (int index = kLengthCodes; index < 32; ++index) {
        EXPECT_EQ(kInflateLengthExtraBits[index], kInvalidExtraBits) << index;
        EXPECT_EQ(kDeflate64LengthExtraBits[index], kInvalidExtraBits) << index;
    }
}

TEST(InflateTables, DistancesThirtyAndThirtyOneRepeatTheLastInDeflate) {
    for (int index = 30; index < 32; ++index) {
        EXPECT_EQ(kInflateDistanceBase[index], 24577);
        EXPECT_EQ(kInflateDistanceExtraBits[index], 13);
    }
}

TEST(InflateTables, Deflate64ExtendsLengthsAndDistances) {
    EXPECT_EQ(kDeflate64LengthBase[28], 3);
    EXPECT_EQ(kDeflate64LengthExtraBits[28], kDeflate64LongLengthOp);
    EXPECT_EQ(kDeflate64DistanceBase[30], 32769);
    EXPECT_EQ(kDeflate64DistanceBase[31], 49153);
    EXPECT_EQ(kDeflate64DistanceExtraBits[30], 14);
    EXPECT_EQ(kDeflate64DistanceBase[31] + (1 << kDeflate64DistanceExtraBits[31]) - 1, 65536);
    for (int index = 0; index < 28; ++index) {
        EXPECT_EQ(kDeflate64LengthBase[index], kLengthBase[index]) << index;
    }
}

TEST(InflateTables, FixedCodeLengthsMatchRfc1951) {
    int perLength[10] = {};
    for (uint8_t length : kFixedLitLenLengths) ++perLength[length];
    EXPECT_EQ(perLength[7], 24);
    EXPECT_EQ(perLength[8], 152);
    EXPECT_EQ(perLength[9], 112);
    EXPECT_EQ(kFixedLitLenLengths[143], 8);
    EXPECT_EQ(kFixedLitLenLengths[144], 9);
    EXPECT_EQ(kFixedLitLenLengths[256], 7);
    EXPECT_EQ(kFixedLitLenLengths[280], 8);
}

}  // namespace
}  // namespace zipsalvage
