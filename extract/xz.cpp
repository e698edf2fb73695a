// Method 95: one .xz stream (the xz file format), decoded by liblzma. Its integrity checks
// (block check, index, footer) are verified: a failed one is damage. The stream footer ends
// the data.
#include "extract/library_methods.h"
#include "extract/lzma_stream.h"

namespace zipsalvage {
namespace {

LibraryStep xzStep(void* decoder, LibraryCall& call) {
    return runLzmaCode(static_cast<LzmaStream*>(decoder)->stream, call);
}

}  // namespace

DecodeResult decodeXz(ExtractContext& context) {
    LzmaStream owner;
    // No LZMA_CONCATENATED: the first stream's end is the entry's end.
    lzma_ret status = lzma_stream_decoder(&owner.stream, kLibraryMemoryLimit, 0);
    if (status == LZMA_MEM_ERROR) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    if (status != LZMA_OK) return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
    owner.started = true;
    return runLibraryDecoder(context, &owner, xzStep);
}

}  // namespace zipsalvage
