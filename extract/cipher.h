// Traditional PKWARE encryption, decrypting side (APPNOTE 6.1).
#pragma once

#include <cstdint>

#include "core/crc32.h"

namespace zipsalvage {

inline constexpr int kEncryptionHeaderBytes = 12;
// Traditional encryption puts no limit on a password's length (APPNOTE 6.1.5 feeds it byte by
// byte); 1024 bytes and the terminator is more than any typed or scripted password needs.
inline constexpr int kPasswordBufferBytes = 1025;

struct CipherKeys {
    uint32_t key0;
    uint32_t key1;
    uint32_t key2;
};

inline void updateKeys(CipherKeys& keys, uint8_t plainByte) {
    keys.key0 = crc32Byte(keys.key0, plainByte);
    keys.key1 = (keys.key1 + (keys.key0 & 0xFF)) * 134775813u + 1;
    keys.key2 = crc32Byte(keys.key2, static_cast<uint8_t>(keys.key1 >> 24));
}

inline uint8_t keystreamByte(const CipherKeys& keys) {
    uint32_t temp = (keys.key2 & 0xFFFF) | 2;
    return static_cast<uint8_t>((temp * (temp ^ 1)) >> 8);
}

inline uint8_t decryptByte(CipherKeys& keys, uint8_t encryptedByte) {
    auto plain = static_cast<uint8_t>(encryptedByte ^ keystreamByte(keys));
    updateKeys(keys, plain);
    return plain;
}

void initKeys(CipherKeys& keys, const char* password);

// Keys set from the password and advanced over the 12 header bytes (whose results are not
// kept), ready for the first data byte. No byte is tested.
void prepareDecryption(CipherKeys& keys, const char* password, const uint8_t* header);

// APPNOTE 6.1.6: the twelfth decrypted header byte is a check byte. Passes when it equals the
// high byte of the CRC-32 field of the local header.
bool testPassword(const char* password, uint32_t crc, const uint8_t* header);

// As testPassword, and for an entry with general purpose flag bit 3 set also when the check
// byte equals the high byte of the last-mod file time: writers that stream their output put it
// there, since the CRC-32 is not known when the header is written.
bool testPasswordForEntry(const char* password, uint32_t crc, uint16_t modTime, uint16_t flags,
                          const uint8_t* header);

}  // namespace zipsalvage
