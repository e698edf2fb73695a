// Key set-up and the password check of traditional encryption.
#include "extract/cipher.h"

#include "core/zip_format.h"

namespace zipsalvage {
namespace {

uint8_t decryptedCheckByte(const char* password, const uint8_t* header) {
    CipherKeys keys;
    initKeys(keys, password);
    uint8_t plain = 0;
    for (int index = 0; index < kEncryptionHeaderBytes; ++index)
        plain = decryptByte(keys, header[index]);
    return plain;
}

}  // namespace

void initKeys(CipherKeys& keys, const char* password) {
    keys.key0 = 0x12345678u;
    keys.key1 = 0x23456789u;
    keys.key2 = 0x34567890u;
    for (const char* character = password; *character != '\0'; ++character) {
        updateKeys(keys, static_cast<uint8_t>(*character));
    }
}

void prepareDecryption(CipherKeys& keys, const char* password, const uint8_t* header) {
    initKeys(keys, password);
    for (int index = 0; index < kEncryptionHeaderBytes; ++index) decryptByte(keys, header[index]);
}

bool testPassword(const char* password, uint32_t crc, const uint8_t* header) {
    return decryptedCheckByte(password, header) == static_cast<uint8_t>(crc >> 24);
}

bool testPasswordForEntry(const char* password, uint32_t crc, uint16_t modTime, uint16_t flags,
                          const uint8_t* header) {
    uint8_t check = decryptedCheckByte(password, header);
    if (check == static_cast<uint8_t>(crc >> 24)) return true;
    return (flags & kFlagDataDescriptor) != 0 && check == static_cast<uint8_t>(modTime >> 8);
}

}  // namespace zipsalvage
