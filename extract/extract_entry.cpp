// Method dispatch: one context per entry, the method its header names.
#include "core/little_endian.h"
#include "core/zip_format.h"
#include "extract/huffman_decoders.h"
#include "extract/inflate_resync.h"
#include "extract/library_methods.h"
#include "extract/methods.h"
#include "extract/winzip_aes.h"

namespace zipsalvage {

bool decodesMethod(uint16_t method) {
    // Keep in step with the dispatch below: tokenizing was never defined for Zip. The methods
    // of outside libraries count only where the library was built in.
    if (method <= kMethodImploded || method == kMethodDeflated || method == kMethodDeflate64) {
        return true;
    }
    return (ZIPSALVAGE_HAVE_BZIP2 != 0 && method == kMethodBzip2) ||
           (ZIPSALVAGE_HAVE_LZMA && (method == kMethodLzma || method == kMethodXz)) ||
           (ZIPSALVAGE_HAVE_ZSTD && method == kMethodZstd) ||
           (ZIPSALVAGE_HAVE_AES && method == kMethodAes);
}

bool knownButNotBuiltIn(uint16_t method) {
    return !decodesMethod(method) &&
           (method == kMethodBzip2 || method == kMethodLzma || method == kMethodXz ||
            method == kMethodZstd || method == kMethodPpmd || method == kMethodAes);
}

bool methodEndsItself(uint16_t method, uint16_t generalFlags) {
    if (!decodesMethod(method)) return false;
    switch (method) {
        case kMethodDeflated:  // RFC 1951 3.2.3: the block with BFINAL set
        case kMethodDeflate64:
        case kMethodBzip2:  // the end-of-stream marker
        case kMethodXz:     // the stream footer
        case kMethodZstd:   // the frame's last block
            return true;
        case kMethodLzma:
            return (generalFlags & kFlagLzmaEndMarker) != 0;
        default:
            return false;
    }
}

DecodeResult extractEntryData(const EntryData& entry, FileHandle output, bool encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags) {
    return extractEntryData(entry, fileOutput(output), encrypted, password, encryptionHeader,
                            source, flags);
}

DecodeResult extractEntryData(const EntryData& entry, const EntryOutput& output, bool encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags) {
    // The context lives on this frame, so it cannot fail to be had.
    ExtractContext context;
    // AES decrypts by blocks in the context's reads; the traditional cipher stays off.
    const bool aes = encrypted && entry.aesStrength != 0;
    AesDecryption decryption;
    initExtractContext(context, output, entry.compressedSize, entry.uncompressedSize,
                       encrypted && !aes, password, aes ? nullptr : encryptionHeader, source,
                       flags);
    if (aes) {
        if (!startAesDecryption(decryption, password, entry.aesStrength, encryptionHeader)) {
            return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
        }
        useAesFraming(context, &decryption, entry.aesStrength);
    }
    context.unknown = entry.unknown;
    if (entry.unknown != nullptr) entry.unknown->ranges.clear();
    context.recordedCrc = entry.crc32;
    context.crcKnown = entry.crcKnown ? 1 : 0;
    context.knownDamaged = entry.knownDamaged ? 1 : 0;
    context.repair = entry.repair;
    if (entry.repair != nullptr) *entry.repair = DataRepair{};
    if (entry.lengthUnknown) {
        context.lengthUnknown = true;
        context.dataLength = kLargestDataLength;
        context.readLimit = static_cast<uint64_t>(kLargestDataLength);
    }
    const uint16_t method = entry.method;
    switch (method) {
        case kMethodStored:
            return extractStored(context);
        case kMethodShrunk:
            return unshrink(context);
        case kMethodReducedFactor1:
        case kMethodReducedFactor1 + 1:
        case kMethodReducedFactor1 + 2:
        case kMethodReducedFactor4:
            return unreduce(context, method - kMethodReducedFactor1 + 1);
        case kMethodImploded:
            return explode(context, entry.generalFlags);
        case kMethodTokenized:
            // Tokenizing: never defined for Zip, nothing to run.
            return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
        case kMethodDeflated:
            return inflateWithResync(context, false);
        case kMethodDeflate64:
            return inflateWithResync(context, true);
#if ZIPSALVAGE_HAVE_BZIP2
        case kMethodBzip2:
            return decodeBzip2(context);
#endif
#if ZIPSALVAGE_HAVE_LZMA
        case kMethodLzma:
            return decodeLzma(context, entry.generalFlags);
        case kMethodXz:
            return decodeXz(context);
#endif
#if ZIPSALVAGE_HAVE_ZSTD
        case kMethodZstd:
            return decodeZstd(context);
#endif
        default:
            // Unknown methods: nothing written, judged by size.
            return DecodeResult{DecodeEnd::kDone, 0, 0};
    }
}

DecodeResult extractEntry(const uint8_t* header, const RecordedSizes& sizes, FileHandle output,
                          bool encrypted, const char* password, const uint8_t* encryptionHeader,
                          const EntryByteSource& source, RunFlags& flags) {
    EntryData entry;
    entry.method = loadLE16(header + kLocalMethod);
    entry.generalFlags = loadLE16(header + kLocalFlags);
    entry.compressedSize = sizes.compressed;
    entry.uncompressedSize = sizes.uncompressed;
    return extractEntryData(entry, output, encrypted, password, encryptionHeader, source, flags);
}

}  // namespace zipsalvage
