// The generated RFC 1951 tables against the values the RFC lists (3.2.5, 3.2.6, 3.2.7).
#include "huffman/deflate_format.h"

#include <gtest/gtest.h>

namespace zipsalvage {
namespace {

TEST(DeflateFormat, LengthTablesMatchRfc1951) {
    const uint16_t bases[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                                31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
    const uint16_t extras[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                 2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
    for (int index = 0; index < 29; ++index) {
        EXPECT_EQ(kLengthBase[index], bases[index]) << index;
        EXPECT_EQ(kLengthExtraBits[index], extras[index]) << index;
    }
    for (int index = 29; index < 32; ++index) {
        EXPECT_EQ(kLengthBase[index], 0);
        EXPECT_EQ(kLengthExtraBits[index], kInvalidExtraBits);
    }
}

TEST(DeflateFormat, DistanceTablesMatchRfc1951AndRepeatTheLastForThirtyAndThirtyOne) {
    const uint16_t bases[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
    for (int index = 0; index < 30; ++index) {
        EXPECT_EQ(kDistanceBase[index], bases[index]) << index;
        EXPECT_EQ(kDistanceExtraBits[index], index < 4 ? 0 : index / 2 - 1) << index;
    }
    for (int index = 30; index < 32; ++index) {
        EXPECT_EQ(kDistanceBase[index], 24577);
        EXPECT_EQ(kDistanceExtraBits[index], 13);
    }
}

TEST(DeflateFormat, FixedCodeLengthsMatchRfc1951) {
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
