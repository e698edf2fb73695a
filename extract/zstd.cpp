// Method 93: Zstandard (RFC 8878), decoded by libzstd. Frames follow one another until the
// data's recorded length; for a streamed entry (length unknown) the first frame's end is the
// data's end. A frame's content checksum, where it has one, is verified: a failed one is damage.
#include <zstd.h>
#include <zstd_errors.h>

#include "extract/library_decoder.h"
#include "extract/library_methods.h"

namespace zipsalvage {
namespace {

struct ZstdDecoder {
    ZSTD_DStream* stream = nullptr;
    bool atFrameEnd = false;  // the last frame ended (and another may follow)
    bool oneFrame = false;    // the data's length is unknown: the first frame is all of it
    ZstdDecoder() = default;
    ZstdDecoder(const ZstdDecoder&) = delete;
    ZstdDecoder& operator=(const ZstdDecoder&) = delete;
    ~ZstdDecoder() { ZSTD_freeDStream(stream); }
};

LibraryStep zstdStep(void* state, LibraryCall& call) {
    auto& decoder = *static_cast<ZstdDecoder*>(state);
    if (call.inputLeft == 0 && call.inputEnded) {
        // The data ended: at a frame's end that is the method's end, inside one it is a cut.
        // The decoder may still hold decoded bytes of the frame, so it is asked once more.
        if (decoder.atFrameEnd) return LibraryStep::kStreamEnd;
    }
    ZSTD_inBuffer input{call.input, call.inputLeft, 0};
    ZSTD_outBuffer output{call.output, call.outputRoom, 0};
    size_t hint = ZSTD_decompressStream(decoder.stream, &output, &input);
    call.input += input.pos;
    call.inputLeft -= input.pos;
    call.output += output.pos;
    call.outputRoom -= output.pos;
    if (ZSTD_isError(hint)) {
        return ZSTD_getErrorCode(hint) == ZSTD_error_memory_allocation ? LibraryStep::kNoMemory
                                                                       : LibraryStep::kCorrupt;
    }
    // 0: a frame is complete and all of it flushed.
    decoder.atFrameEnd = hint == 0;
    if (decoder.atFrameEnd && decoder.oneFrame) return LibraryStep::kStreamEnd;
    return LibraryStep::kGoOn;
}

}  // namespace

DecodeResult decodeZstd(ExtractContext& context) {
    ZstdDecoder decoder;
    decoder.stream = ZSTD_createDStream();
    if (decoder.stream == nullptr) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    // The library's default window limit (128 MiB, window log 27) is what zstd writes without
    // --long; a damaged frame header asking for more is refused as bad data.
    ZSTD_initDStream(decoder.stream);
    decoder.oneFrame = context.lengthUnknown;
    return runLibraryDecoder(context, &decoder, zstdStep);
}

}  // namespace zipsalvage
