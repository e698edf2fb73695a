// Method dispatch: one context per entry, the method its header names.
#include "core/little_endian.h"
#include "core/zip_format.h"
#include "extract/huffman_decoders.h"
#include "extract/methods.h"

namespace zipsalvage {

bool decodesMethod(uint16_t method) {
    // Keep in step with the dispatch below: tokenizing was never defined for Zip.
    return method <= kMethodImploded || method == kMethodDeflated || method == kMethodDeflate64;
}

DecodeResult extractEntryData(const EntryData& entry, FileHandle output, int encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags) {
    return extractEntryData(entry, fileOutput(output), encrypted, password, encryptionHeader,
                            source, flags);
}

DecodeResult extractEntryData(const EntryData& entry, const EntryOutput& output, int encrypted,
                              const char* password, const uint8_t* encryptionHeader,
                              const EntryByteSource& source, RunFlags& flags) {
    // The context lives on this frame, so it cannot fail to be had.
    ExtractContext context;
    initExtractContext(context, output, entry.compressedSize, entry.uncompressedSize, encrypted,
                       password, encryptionHeader, source, flags);
    if (entry.lengthUnknown) {
        context.lengthUnknown = 1;
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
            return inflate(context);
        case kMethodDeflate64:
            return inflateDeflate64(context);
        default:
            // Unknown methods: nothing written, judged by size.
            return DecodeResult{DecodeEnd::kDone, 0, 0};
    }
}

DecodeResult extractEntry(const uint8_t* header, const RecordedSizes& sizes, FileHandle output,
                          int encrypted, const char* password, const uint8_t* encryptionHeader,
                          const EntryByteSource& source, RunFlags& flags) {
    EntryData entry;
    entry.method = loadLE16(header + kLocalMethod);
    entry.generalFlags = loadLE16(header + kLocalFlags);
    entry.compressedSize = sizes.compressed;
    entry.uncompressedSize = sizes.uncompressed;
    return extractEntryData(entry, output, encrypted, password, encryptionHeader, source, flags);
}

}  // namespace zipsalvage
