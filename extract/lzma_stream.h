// The liblzma decoder state both LZMA methods (14 and 95) run, and its step for the library
// loop.
#pragma once

#include <lzma.h>

#include "extract/library_decoder.h"

namespace zipsalvage {

// Released on every way out.
struct LzmaStream {
    lzma_stream stream = LZMA_STREAM_INIT;
    bool started = false;
    LzmaStream() = default;
    LzmaStream(const LzmaStream&) = delete;
    LzmaStream& operator=(const LzmaStream&) = delete;
    ~LzmaStream() {
        if (started) lzma_end(&stream);
    }
};

inline LibraryStep lzmaStepFor(lzma_ret status) {
    switch (status) {
        case LZMA_OK:
        case LZMA_BUF_ERROR:  // no progress: the loop sees it and judges by the input
            return LibraryStep::kGoOn;
        case LZMA_STREAM_END:
            return LibraryStep::kStreamEnd;
        case LZMA_MEM_ERROR:
        case LZMA_MEMLIMIT_ERROR:
            return LibraryStep::kNoMemory;
        default:  // LZMA_DATA_ERROR (also a failed check), LZMA_FORMAT_ERROR, LZMA_OPTIONS_ERROR
            return LibraryStep::kCorrupt;
    }
}

// One lzma_code call over the loop's pieces. LZMA_RUN throughout: liblzma decodes as far as
// the input it has, so a cut stream still gives everything before the cut.
inline LibraryStep runLzmaCode(lzma_stream& stream, LibraryCall& call) {
    stream.next_in = call.input;
    stream.avail_in = call.inputLeft;
    stream.next_out = call.output;
    stream.avail_out = call.outputRoom;
    lzma_ret status = lzma_code(&stream, LZMA_RUN);
    call.input = stream.next_in;
    call.inputLeft = stream.avail_in;
    call.output = stream.next_out;
    call.outputRoom = stream.avail_out;
    return lzmaStepFor(status);
}

}  // namespace zipsalvage
