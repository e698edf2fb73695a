// Method dispatch: one context per entry, the method its header names.
#include "core/little_endian.h"
#include "extract/methods.h"
#include "huffman/huffman_decoders.h"

namespace zipsalvage {

bool decodesMethod(uint16_t method) {
    // Keep in step with the dispatch below: 7 (tokenizing) was never defined for Zip.
    return method <= 6 || method == 8 || method == 9;
}

DecodeResult extractEntryData(const EntryData& entry, FileHandle output, int encrypted,
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
        case 0:
            return extractStored(context);
        case 1:
            return unshrink(context);
        case 2:
        case 3:
        case 4:
        case 5:
            return unreduce(context, method - 1);
        case 6:
            return explode(context, entry.generalFlags);
        case 7:
            // Tokenizing: never defined for Zip, nothing to run.
            return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
        case 8:
            return inflate(context);
        case 9:
            return inflateDeflate64(context);
        default:
            // Unknown methods: nothing written, judged by size.
            return DecodeResult{DecodeEnd::kDone, 0, 0};
    }
}

DecodeResult extractEntry(const uint8_t* header, FileHandle output, int encrypted,
                          const char* password, const uint8_t* encryptionHeader,
                          const EntryByteSource& source, RunFlags& flags) {
    EntryData entry;
    entry.method = loadLE16(header + 8);
    entry.generalFlags = loadLE16(header + 6);
    entry.compressedSize = loadLE32(header + 18);
    entry.uncompressedSize = loadLE32(header + 22);
    return extractEntryData(entry, output, encrypted, password, encryptionHeader, source, flags);
}

}  // namespace zipsalvage
