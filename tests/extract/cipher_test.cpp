// Traditional encryption: the published vectors and a round trip through our own encryptor;
// the CRC-32 its keys are made with, against zlib.
#include "extract/cipher.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>

#include "core/crc32_fold.h"
#include "core/little_endian.h"
#include "extract/extract_context.h"
#include "tests/support/memory_source.h"

namespace zipsalvage {
namespace {

using testing::Bytes;

// The encrypting direction (APPNOTE 6.1.5), for building test entries.
Bytes encrypt(const char* password, const Bytes& plain) {
    CipherKeys keys;
    initKeys(keys, password);
    Bytes out;
    for (uint8_t byte : plain) {
        out.push_back(static_cast<uint8_t>(byte ^ keystreamByte(keys)));
        updateKeys(keys, byte);
    }
    return out;
}

TEST(Cipher, PublishedVectors) {
    CipherKeys keys;
    initKeys(keys, "");
    EXPECT_EQ(keys.key2, 0x34567890u);
    EXPECT_EQ(keystreamByte(keys), 0xAB);
    uint32_t crc = 0xFFFFFFFFu;
    for (char letter : std::string("abc")) crc = crc32Byte(crc, static_cast<uint8_t>(letter));
    EXPECT_EQ(crc ^ 0xFFFFFFFFu, 0x352441C2u);
    EXPECT_EQ(kCrc32Table[1], 0x77073096u);
    EXPECT_EQ(kCrc32Table[255], 0x2D02EF8Du);
}

// zlib's crc32() is the oracle: the byte step (the cipher's) and the block update (the
// encoder's and the verdict's) both agree with it at every length and alignment.
TEST(Crc32, ByteStepAndBlockUpdateAgreeWithZlibAtEveryLengthAndAlignment) {
    Bytes data = testing::makeRandom(300, 12);
    for (size_t start = 0; start < 9; ++start) {
        for (size_t length = 0; length + start <= data.size(); length += 7) {
            auto expected =
                static_cast<uint32_t>(::crc32(0, data.data() + start, static_cast<uInt>(length)));
            uint32_t byteWise = 0xFFFFFFFFu;
            for (size_t index = 0; index < length; ++index)
                byteWise = crc32Byte(byteWise, data[start + index]);
            EXPECT_EQ(byteWise ^ 0xFFFFFFFFu, expected);
            EXPECT_EQ(crc32Update(0xFFFFFFFFu, data.data() + start, length) ^ 0xFFFFFFFFu,
                      expected);
        }
    }
}

// The carry-less multiplication path: its four lanes, its 16-byte steps and its tail, from a
// register that is not the initial one (a running CRC-32 resumed).
TEST(Crc32, FoldedUpdateEqualsTheByteStepFromAnyRegister) {
    if (!haveCarrylessMultiply()) GTEST_SKIP() << "no PCLMULQDQ on this processor";
    Bytes data = testing::makeRandom(2000, 13);
    for (size_t start = 0; start < 17; start += 3) {
        for (size_t length = kFoldedCrcMinimumBytes; length + start <= data.size(); length += 13) {
            uint32_t byteWise = 0x12345678u;
            for (size_t index = 0; index < length; ++index)
                byteWise = crc32Byte(byteWise, data[start + index]);
            ASSERT_EQ(crc32Folded(0x12345678u, data.data() + start, length), byteWise) << length;
        }
    }
}

TEST(Cipher, CheckByteIsTheTwelfthAgainstCrcOrTimeWithBitThree) {
    Bytes plainHeader(12, 0x33);
    plainHeader[11] = 0xC4;  // high byte of the CRC-32 below
    Bytes header = encrypt("secret", plainHeader);
    EXPECT_TRUE(testPassword("secret", 0xC4000000u, header.data()));
    EXPECT_FALSE(testPassword("secret", 0xC5000000u, header.data()));
    // With flag bit 3 the byte may stand for the mod time instead.
    EXPECT_TRUE(testPasswordForEntry("secret", 0, 0xC412, 0x0008, header.data()));
    EXPECT_FALSE(testPasswordForEntry("secret", 0, 0xC412, 0x0000, header.data()));
    // Bytes 0 to 10 do not matter.
    Bytes other = plainHeader;
    other[0] = 0x99;
    other[5] = 0x01;
    Bytes otherHeader = encrypt("secret", other);
    EXPECT_TRUE(testPassword("secret", 0xC4000000u, otherHeader.data()));
}

TEST(Cipher, EncryptedStoredEntryDecryptsThroughTheByteSource) {
    Bytes plain = testing::makeText(3000, 11);
    Bytes plainHeader(12, 0x42);
    Bytes stream = plainHeader;
    stream.insert(stream.end(), plain.begin(), plain.end());
    Bytes encrypted = encrypt("pw", stream);
    Bytes header(encrypted.begin(), encrypted.begin() + 12);
    Bytes data(encrypted.begin() + 12, encrypted.end());

    testing::TempDir dir;
    FileHandle output = createReadWrite(dir.file("out").c_str());
    uint8_t local[30] = {};
    RecordedSizes sizes{encrypted.size(), plain.size()};  // compressed includes the 12 bytes
    testing::MemorySource memory{data};
    RunFlags flags;
    EXPECT_TRUE(ranToEnd(
        extractEntry(local, sizes, output, true, "pw", header.data(), memory.source(), flags)));
    closeFile(output);
    EXPECT_EQ(testing::readWholeFile(dir.file("out")), plain);
}

}  // namespace
}  // namespace zipsalvage
