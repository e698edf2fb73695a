// Method 14: LZMA (APPNOTE 5.8), decoded by liblzma. The data opens with a 4-byte header (LZMA
// SDK version, 2 bytes; properties size, 2 bytes little-endian; APPNOTE 5.8.8) and the 5-byte
// LZMA properties. liblzma's .lzma decoder takes the same properties followed by the
// uncompressed size, so that 13-byte header is made from them and handed over first.
#include <cstring>

#include "core/little_endian.h"
#include "core/zip_format.h"
#include "extract/library_methods.h"
#include "extract/lzma_stream.h"

namespace zipsalvage {
namespace {

constexpr size_t kZipHeaderBytes = 4;
constexpr size_t kPropertiesBytes = 5;  // lc/lp/pb byte and the 32-bit dictionary size
constexpr size_t kAloneHeaderBytes = kPropertiesBytes + 8;
constexpr uint64_t kSizeUnknown = UINT64_MAX;   // .lzma: the data ends with the end marker
constexpr uint64_t kSmallestDictionary = 4096;  // what LZMA encoders write at the least
constexpr uint64_t kDecoderOverheadBytes = uint64_t{1} << 20;  // liblzma's own tables, generously

struct LzmaDecoder {
    LzmaStream owner;
    uint8_t header[kZipHeaderBytes + kPropertiesBytes] = {};
    size_t headerFill = 0;
    uint64_t uncompressedSize = kSizeUnknown;
    uint64_t recordedSize = 0;              // the header's, told to the decoder or not
    uint8_t alone[kAloneHeaderBytes] = {};  // the .lzma header made for liblzma
    size_t aloneLeft = 0;                   // bytes of it not yet taken
    bool cutForMemory = false;  // the dictionary was cut below its reach to fit the limit
};

// Gathers the entry's header and the properties; true once they are complete.
bool gatherHeader(LzmaDecoder& decoder, LibraryCall& call) {
    while (decoder.headerFill < sizeof decoder.header && call.inputLeft > 0) {
        decoder.header[decoder.headerFill++] = *call.input++;
        --call.inputLeft;
    }
    return decoder.headerFill == sizeof decoder.header;
}

// No distance reaches further back than the entry's size, so a dictionary larger than the size
// (a damaged header's, up to 4 GiB) would only make liblzma refuse for memory. Where the decoder
// is told the size, the dictionary is cut to it and the decoding is the same. With an end marker
// the recorded size may be wrong, so it is cut only where liblzma would refuse it anyway: the
// bytes before any distance that reaches further are still had. A size that is itself beyond the
// limit (damaged, most likely, or an entry too big for it) cuts the dictionary to the limit: the
// bytes before the first distance beyond it are had, instead of none.
void clampDictionary(LzmaDecoder& decoder) {
    const bool sizeKnown = decoder.uncompressedSize != kSizeUnknown;
    const uint64_t dictionary = loadLE32(decoder.alone + 1);
    constexpr uint64_t kMostDictionary = kLibraryMemoryLimit - kDecoderOverheadBytes;
    if (!sizeKnown && dictionary <= kMostDictionary) return;
    const uint64_t recorded = decoder.recordedSize;
    const uint64_t reach = recorded > kSmallestDictionary ? recorded : kSmallestDictionary;
    uint64_t kept = dictionary < reach ? dictionary : reach;
    if (kept > kMostDictionary) {
        kept = kMostDictionary;
        decoder.cutForMemory = true;
    }
    if (kept != dictionary) storeLE32(decoder.alone + 1, static_cast<uint32_t>(kept));
}

LibraryStep startDecoder(LzmaDecoder& decoder) {
    // LZMA's properties are always 5 bytes; anything else is not this method's header.
    if (loadLE16(decoder.header + 2) != kPropertiesBytes) return LibraryStep::kCorrupt;
    lzma_ret status = lzma_alone_decoder(&decoder.owner.stream, kLibraryMemoryLimit);
    if (status != LZMA_OK) return lzmaStepFor(status);
    decoder.owner.started = true;
    std::memcpy(decoder.alone, decoder.header + kZipHeaderBytes, kPropertiesBytes);
    clampDictionary(decoder);
    for (size_t index = 0; index < 8; ++index) {
        decoder.alone[kPropertiesBytes + index] =
            static_cast<uint8_t>(decoder.uncompressedSize >> (8 * index));
    }
    decoder.aloneLeft = kAloneHeaderBytes;
    return LibraryStep::kGoOn;
}

LibraryStep lzmaStep(void* state, LibraryCall& call) {
    auto& decoder = *static_cast<LzmaDecoder*>(state);
    if (!decoder.owner.started) {
        if (!gatherHeader(decoder, call)) return LibraryStep::kGoOn;
        LibraryStep started = startDecoder(decoder);
        if (started != LibraryStep::kGoOn) return started;
    }
    if (decoder.aloneLeft > 0) {
        // The made header goes in first, through the same call (liblzma takes input only
        // where it has room for output).
        LibraryCall header{decoder.alone + kAloneHeaderBytes - decoder.aloneLeft, decoder.aloneLeft,
                           call.output, call.outputRoom, false};
        LibraryStep stepped = runLzmaCode(decoder.owner.stream, header);
        decoder.aloneLeft = header.inputLeft;
        call.output = header.output;
        call.outputRoom = header.outputRoom;
        if (stepped != LibraryStep::kGoOn || decoder.aloneLeft > 0) return stepped;
    }
    return runLzmaCode(decoder.owner.stream, call);
}

}  // namespace

DecodeResult decodeLzma(ExtractContext& context, uint16_t generalFlags) {
    LzmaDecoder decoder;
    decoder.recordedSize = context.uncompressedSize;
    // Without the end marker the data ends after the recorded uncompressed size.
    if ((generalFlags & kFlagLzmaEndMarker) == 0)
        decoder.uncompressedSize = context.uncompressedSize;
    DecodeResult result = runLibraryDecoder(context, &decoder, lzmaStep);
    // Under a dictionary cut to the limit, a distance beyond it reads as damage. Past the cut's
    // size it may as well be the limit's doing, which is what the log must say (the bytes before
    // it are kept); before, every distance the data names is within the dictionary.
    if (decoder.cutForMemory && result.end == DecodeEnd::kCorruptData &&
        result.produced > loadLE32(decoder.alone + 1)) {
        result.end = DecodeEnd::kNoMemory;
    }
    return result;
}

}  // namespace zipsalvage
