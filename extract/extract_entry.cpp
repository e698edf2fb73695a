// Method dispatch: one context per entry, the method its header names.
#include "core/little_endian.h"
#include "extract/methods.h"
#include "huffman/huffman_decoders.h"

namespace zipsalvage {

bool decodesMethod(uint16_t method) {
    // Keep in step with the dispatch below: 7 (tokenizing) was never defined for Zip.
    return method <= 6 || method == 8 || method == 9;
}

int extractEntry(const uint8_t* header, FileHandle output, int encrypted, const char* password,
                 const uint8_t* encryptionHeader, const EntryByteSource& source, RunFlags& flags) {
    // The context lives on this frame, so it cannot fail to be had.
    ExtractContext context;
    initExtractContext(context, output, loadLE32(header + 18), loadLE32(header + 22), encrypted,
                       password, encryptionHeader, source, flags);
    uint16_t method = loadLE16(header + 8);
    int result = 1;
    switch (method) {
        case 0:
            result = extractStored(context);
            break;
        case 1:
            result = unshrink(context);
            break;
        case 2:
        case 3:
        case 4:
        case 5:
            result = unreduce(context, method - 1);
            break;
        case 6:
            result = explode(context, loadLE16(header + 6));
            break;
        case 7:
            result = 0;
            break;  // tokenizing: never defined for Zip, nothing to run
        case 8:
            result = inflate(context);
            break;
        case 9:
            result = inflateDeflate64(context);
            break;
        default:
            result = 1;
            break;  // unknown methods: nothing written, judged by size
    }
    return result != 0 ? 1 : 0;
}

}  // namespace zipsalvage
