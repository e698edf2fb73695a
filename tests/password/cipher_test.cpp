// Traditional encryption over data written by zip, and which byte the check compares (the
// published vectors are in tests/extract/cipher_test.cpp).
#include "extract/cipher.h"

#include <gtest/gtest.h>

#include "tests/password/encrypted_archives.h"

namespace zipsalvage {
namespace {

using testing::Bytes;
using testing::EntryCheck;
using testing::TempDir;

uint8_t decryptedCheckByte(const std::string& password, const uint8_t* header) {
    CipherKeys keys;
    initKeys(keys, password.c_str());
    uint8_t plain = 0;
    for (int index = 0; index < kEncryptionHeaderBytes; ++index) {
        plain = decryptByte(keys, header[index]);
    }
    return plain;
}

// zip -P streams its entries (flag bit 3) and puts the mod time's high byte in the check byte.
TEST(Cipher, DecryptsWhatZipEncryptedAndAcceptsItsTimeCheckByte) {
    if (!testing::haveCommand("zip")) GTEST_SKIP() << "zip is not installed";
    TempDir dir;
    Bytes content = testing::makeRandom(700, 3);
    ASSERT_TRUE(testing::makeZipArchive(dir, "e.zip", {{"data.bin", content, "pw", false}}));
    Bytes archive = testing::readWholeFile(dir.file("e.zip"));
    EntryCheck entry = testing::readEntryCheck(archive, "data.bin");
    ASSERT_TRUE(entry.found);
    ASSERT_EQ(entry.flags & 0x0009, 0x0009);

    EXPECT_EQ(decryptedCheckByte("pw", entry.header), entry.modTime >> 8);
    EXPECT_TRUE(testPasswordForEntry("pw", entry.crc, entry.modTime, entry.flags, entry.header));

    CipherKeys keys;
    prepareDecryption(keys, "pw", entry.header);
    Bytes plain;
    for (size_t index = 0; index < content.size(); ++index) {
        plain.push_back(decryptByte(keys, archive[entry.dataOffset + index]));
    }
    EXPECT_EQ(plain, content);
}

// Without bit 3 the time byte proves nothing; only the CRC-32's high byte counts.
TEST(Cipher, WithoutBitThreeOnlyTheCrcByteCounts) {
    Bytes archive = testing::handMadeEncryptedEntry("a.txt", testing::makeText(300, 2), "right");
    EntryCheck entry = testing::readEntryCheck(archive, "a.txt");
    ASSERT_TRUE(entry.found);
    ASSERT_NE(entry.crc >> 24, static_cast<uint32_t>(entry.modTime >> 8));
    EXPECT_TRUE(testPasswordForEntry("right", entry.crc, entry.modTime, entry.flags, entry.header));
    EXPECT_TRUE(testPassword("right", entry.crc, entry.header));

    std::string timeMatch;
    for (int index = 0; timeMatch.empty() && index < 100000; ++index) {
        std::string candidate = "t" + std::to_string(index);
        if (decryptedCheckByte(candidate, entry.header) == entry.modTime >> 8)
            timeMatch = candidate;
    }
    ASSERT_FALSE(timeMatch.empty());
    EXPECT_FALSE(testPasswordForEntry(timeMatch.c_str(), entry.crc, entry.modTime, entry.flags,
                                      entry.header));
    EXPECT_TRUE(testPasswordForEntry(timeMatch.c_str(), entry.crc, entry.modTime,
                                     static_cast<uint16_t>(entry.flags | 0x0008), entry.header));
}

}  // namespace
}  // namespace zipsalvage
