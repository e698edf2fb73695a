// WinZip AES encryption (method 99 with the 0x9901 extra field), decrypting side, as the
// WinZip AES note describes it: keys from PBKDF2-HMAC-SHA1, AES in counter mode with a
// little-endian counter, an HMAC-SHA1 authentication code over the encrypted data. The
// cryptography is libgcrypt's; nothing of it shows through this header. Built only where
// libgcrypt was found (ZIPSALVAGE_HAVE_AES); elsewhere AES entries are copied as they are.
// The 0x9901 extra field that marks such an entry is read with the other extra fields.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

inline constexpr int kAesVerifierBytes = 2;
inline constexpr int kAesCodeBytes = 10;  // the HMAC-SHA1 truncated to 80 bits
inline constexpr int kAesMaxSaltBytes = 16;
inline constexpr int kAesMaxHeaderBytes = kAesMaxSaltBytes + kAesVerifierBytes;
inline constexpr int kAesMaxKeyBytes = 32;

// Salt bytes for a strength (1, 2, 3: 128, 192, 256-bit keys): 8, 12, 16; 0 for any other.
inline int aesSaltBytes(uint8_t strength) {
    return strength >= 1 && strength <= 3 ? 4 + 4 * strength : 0;
}
// Salt and verifier, in front of the encrypted data.
inline int aesHeaderBytes(uint8_t strength) { return aesSaltBytes(strength) + kAesVerifierBytes; }
// What the encryption adds to the compressed size: the header and the authentication code.
inline int aesOverheadBytes(uint8_t strength) { return aesHeaderBytes(strength) + kAesCodeBytes; }

// The keys PBKDF2-HMAC-SHA1 (1000 iterations) derives from a password and the salt: the AES
// key, the HMAC key (each as long as the AES key) and the 2-byte password verifier.
struct AesKeys {
    int keyBytes = 0;
    uint8_t encryption[kAesMaxKeyBytes] = {};
    uint8_t authentication[kAesMaxKeyBytes] = {};
    uint8_t verifier[kAesVerifierBytes] = {};
};

// False when the strength is invalid or the library failed.
bool deriveAesKeys(const char* password, uint8_t strength, const uint8_t* salt, AesKeys& keys);

// True when the password's verifier equals the two bytes behind the salt in `header`.
bool aesPasswordPasses(const char* password, uint8_t strength, const uint8_t* header);

// Counter-mode decryption from the data's first byte on. The counter block is a 128-bit
// little-endian number starting at 1 (not the big-endian counter of NIST's CTR mode), so the
// keystream is made here by enciphering counter blocks.
struct AesDecryption {
    void* cipher = nullptr;  // the library's handle
    uint64_t counter = 0;    // of the last keystream block made
    uint8_t keystream[16] = {};
    int keystreamUsed = 16;
    AesDecryption() = default;
    AesDecryption(const AesDecryption&) = delete;
    AesDecryption& operator=(const AesDecryption&) = delete;
    ~AesDecryption();
};

// Opens the cipher with the password's keys, `header` being the salt and verifier. False when
// the library failed.
bool startAesDecryption(AesDecryption& decryption, const char* password, uint8_t strength,
                        const uint8_t* header);

// Decrypts the next `count` bytes in place.
void decryptAes(AesDecryption& decryption, uint8_t* bytes, size_t count);

// Makes the context decrypt every block it reads with `decryption`, and counts the salt,
// verifier and authentication code out of the data's length. `decryption` may be null where
// only the data's framing matters (a search for a data descriptor).
void useAesFraming(ExtractContext& context, AesDecryption* decryption, uint8_t strength);

enum class AesCodeCheck : uint8_t {
    kMatches,   // the data is what the writer encrypted, under this password's keys
    kDiffers,   // damaged data, or a wrong password that passed the verifier
    kCutShort,  // the data or the code is not all there
    kFailed,    // the library failed
};

// Reads `dataBytes` encrypted bytes and the 10-byte code behind them from `source`, and
// compares the code with the HMAC-SHA1 of the data under the password's keys.
AesCodeCheck checkAesCode(const char* password, uint8_t strength, const uint8_t* header,
                          const EntryByteSource& source, uint64_t dataBytes);

}  // namespace zipsalvage
