// WinZip AES through libgcrypt: PBKDF2-HMAC-SHA1 for the keys, AES enciphering the counter
// blocks, HMAC-SHA1 for the authentication code.
#include "extract/winzip_aes.h"

#include <gcrypt.h>

#include <cstring>

#include "core/little_endian.h"
#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

constexpr int kAesBlockBytes = 16;
constexpr unsigned long kKeyIterations = 1000;  // fixed by the WinZip AES note
constexpr int kSha1Bytes = 20;
constexpr uint32_t kCodePieceBytes = 65536;

// libgcrypt must be told once, before any other call, that it is initialised; no secure
// memory is asked for (the keys live on the stack like the traditional cipher's). A function
// static is initialised once even with several threads.
bool libraryReady() {
    static const bool ready = [] {
        if (gcry_check_version(GCRYPT_VERSION) == nullptr) return false;
        gcry_control(GCRYCTL_DISABLE_SECMEM, 0);
        gcry_control(GCRYCTL_INITIALIZATION_FINISHED, 0);
        return true;
    }();
    return ready;
}

int cipherFor(int keyBytes) {
    switch (keyBytes) {
        case 16:
            return GCRY_CIPHER_AES128;
        case 24:
            return GCRY_CIPHER_AES192;
        default:
            return GCRY_CIPHER_AES256;
    }
}

size_t passwordLength(const char* password) { return strnlen(password, kPasswordBufferBytes - 1); }

// Owns one HMAC handle.
struct MacHandle {
    gcry_mac_hd_t handle = nullptr;
    MacHandle() = default;
    MacHandle(const MacHandle&) = delete;
    MacHandle& operator=(const MacHandle&) = delete;
    ~MacHandle() {
        if (handle != nullptr) gcry_mac_close(handle);
    }
};

void decryptBlockHook(void* owner, uint8_t* bytes, uint32_t count) {
    decryptAes(*static_cast<AesDecryption*>(owner), bytes, count);
}

}  // namespace

bool deriveAesKeys(const char* password, uint8_t strength, const uint8_t* salt, AesKeys& keys) {
    const int saltBytes = aesSaltBytes(strength);
    if (saltBytes == 0 || !libraryReady()) return false;
    keys.keyBytes = 2 * saltBytes;  // the salt is half as long as the key
    const size_t derivedBytes = static_cast<size_t>(2 * keys.keyBytes + kAesVerifierBytes);
    uint8_t derived[2 * kAesMaxKeyBytes + kAesVerifierBytes];
    gcry_error_t status =
        gcry_kdf_derive(password, passwordLength(password), GCRY_KDF_PBKDF2, GCRY_MD_SHA1, salt,
                        static_cast<size_t>(saltBytes), kKeyIterations, derivedBytes, derived);
    if (status != 0) return false;
    const auto keyBytes = static_cast<size_t>(keys.keyBytes);
    std::memcpy(keys.encryption, derived, keyBytes);
    std::memcpy(keys.authentication, derived + keyBytes, keyBytes);
    std::memcpy(keys.verifier, derived + 2 * keyBytes, kAesVerifierBytes);
    return true;
}

bool aesPasswordPasses(const char* password, uint8_t strength, const uint8_t* header) {
    AesKeys keys;
    if (!deriveAesKeys(password, strength, header, keys)) return false;
    return std::memcmp(keys.verifier, header + aesSaltBytes(strength), kAesVerifierBytes) == 0;
}

AesDecryption::~AesDecryption() {
    if (cipher != nullptr) gcry_cipher_close(static_cast<gcry_cipher_hd_t>(cipher));
}

bool startAesDecryption(AesDecryption& decryption, const char* password, uint8_t strength,
                        const uint8_t* header) {
    AesKeys keys;
    if (!deriveAesKeys(password, strength, header, keys)) return false;
    gcry_cipher_hd_t handle = nullptr;
    if (gcry_cipher_open(&handle, cipherFor(keys.keyBytes), GCRY_CIPHER_MODE_ECB, 0) != 0) {
        return false;
    }
    decryption.cipher = handle;
    return gcry_cipher_setkey(handle, keys.encryption, static_cast<size_t>(keys.keyBytes)) == 0;
}

void decryptAes(AesDecryption& decryption, uint8_t* bytes, size_t count) {
    auto handle = static_cast<gcry_cipher_hd_t>(decryption.cipher);
    constexpr size_t kBatchBlocks = 64;
    uint8_t batch[kBatchBlocks * kAesBlockBytes];
    size_t index = 0;
    while (index < count) {
        if (decryption.keystreamUsed < kAesBlockBytes) {
            bytes[index++] ^= decryption.keystream[decryption.keystreamUsed++];
            continue;
        }
        // The next counter blocks, enciphered in one call: each holds its counter in the first
        // 8 bytes, little-endian, the rest zero (no entry reaches 2^64 blocks).
        size_t blocks = (count - index + kAesBlockBytes - 1) / kAesBlockBytes;
        if (blocks > kBatchBlocks) blocks = kBatchBlocks;
        std::memset(batch, 0, blocks * kAesBlockBytes);
        for (size_t block = 0; block < blocks; ++block) {
            storeLE64(batch + block * kAesBlockBytes, ++decryption.counter);
        }
        gcry_cipher_encrypt(handle, batch, blocks * kAesBlockBytes, nullptr, 0);
        // Whole blocks go straight onto the data; the last one's unused rest is kept.
        size_t whole = (count - index) / kAesBlockBytes;
        if (whole > blocks) whole = blocks;
        for (size_t at = 0; at < whole * kAesBlockBytes; ++at) bytes[index + at] ^= batch[at];
        index += whole * kAesBlockBytes;
        if (whole < blocks) {
            std::memcpy(decryption.keystream, batch + whole * kAesBlockBytes, kAesBlockBytes);
            decryption.keystreamUsed = 0;
        }
    }
}

void useAesFraming(ExtractContext& context, AesDecryption* decryption, uint8_t strength) {
    context.encryptionHeaderBytes = static_cast<uint32_t>(aesHeaderBytes(strength));
    context.dataLength -= aesOverheadBytes(strength);
    int64_t readLimit = context.dataLength + kDataAllowanceBytes;
    context.readLimit = readLimit < 0 ? 0 : static_cast<uint64_t>(readLimit);
    if (decryption != nullptr) {
        context.decryptBlock = decryptBlockHook;
        context.decryptOwner = decryption;
    }
}

AesCodeCheck checkAesCode(const char* password, uint8_t strength, const uint8_t* header,
                          const EntryByteSource& source, uint64_t dataBytes) {
    AesKeys keys;
    if (source.readUpTo == nullptr) return AesCodeCheck::kFailed;
    if (!deriveAesKeys(password, strength, header, keys)) return AesCodeCheck::kFailed;
    MacHandle mac;
    if (gcry_mac_open(&mac.handle, GCRY_MAC_HMAC_SHA1, 0, nullptr) != 0 ||
        gcry_mac_setkey(mac.handle, keys.authentication, static_cast<size_t>(keys.keyBytes)) != 0) {
        return AesCodeCheck::kFailed;
    }
    OwnedBlock<uint8_t[]> owned = newBlockArray<uint8_t>(kCodePieceBytes);
    if (!owned) return AesCodeCheck::kFailed;
    uint64_t left = dataBytes;
    while (left > 0) {
        auto wanted = static_cast<int32_t>(left < kCodePieceBytes ? left : kCodePieceBytes);
        int32_t got = source.readUpTo(source.owner, owned.get(), wanted);
        if (got <= 0) return AesCodeCheck::kCutShort;
        gcry_mac_write(mac.handle, owned.get(), static_cast<size_t>(got));
        left -= static_cast<uint64_t>(got);
    }
    uint8_t recorded[kAesCodeBytes];
    if (source.readUpTo(source.owner, recorded, kAesCodeBytes) != kAesCodeBytes) {
        return AesCodeCheck::kCutShort;
    }
    uint8_t computed[kSha1Bytes];
    size_t computedBytes = sizeof computed;
    if (gcry_mac_read(mac.handle, computed, &computedBytes) != 0 ||
        computedBytes < static_cast<size_t>(kAesCodeBytes)) {
        return AesCodeCheck::kFailed;
    }
    return std::memcmp(computed, recorded, kAesCodeBytes) == 0 ? AesCodeCheck::kMatches
                                                               : AesCodeCheck::kDiffers;
}

}  // namespace zipsalvage
