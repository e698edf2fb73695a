// A build without libgcrypt: no password opens an AES entry (they are copied as they are, see
// decodesMethod), and these keep the callers linking.
#include "extract/winzip_aes.h"

namespace zipsalvage {

bool deriveAesKeys(const char*, uint8_t, const uint8_t*, AesKeys&) { return false; }

bool aesPasswordPasses(const char*, uint8_t, const uint8_t*) { return false; }

AesDecryption::~AesDecryption() = default;

bool startAesDecryption(AesDecryption&, const char*, uint8_t, const uint8_t*) { return false; }

void decryptAes(AesDecryption&, uint8_t*, size_t) {}

void useAesFraming(ExtractContext& context, AesDecryption*, uint8_t strength) {
    context.encryptionHeaderBytes = static_cast<uint32_t>(aesHeaderBytes(strength));
    context.dataLength -= aesOverheadBytes(strength);
    context.readLimit = 0;
}

AesCodeCheck checkAesCode(const char*, uint8_t, const uint8_t*, const EntryByteSource&, uint64_t) {
    return AesCodeCheck::kFailed;
}

}  // namespace zipsalvage
