// What the decoders built on outside libraries (bzip2, LZMA, xz, zstd) share: the entry's data
// handed to the library in pieces, what it decodes written at its offsets, and the verdict made
// from how the library stopped. Each method supplies one step function.
#pragma once

#include <cstddef>
#include <cstdint>

#include "extract/extract_context.h"

namespace zipsalvage {

enum class LibraryStep : uint8_t {
    kGoOn,       // the library took input or gave output, or waits for more input
    kStreamEnd,  // the method's own end marker was reached
    kCorrupt,    // the library rejected the data (a bad code, header or check)
    kNoMemory,   // the library could not have its work area
};

// One call of the library: the step takes from `input` and writes to `output`, advancing both
// pointers and reducing both counts. `inputEnded` is set once the entry's data is used up (or
// the archive ended); it never goes back.
struct LibraryCall {
    const uint8_t* input;
    size_t inputLeft;
    uint8_t* output;
    size_t outputRoom;
    bool inputEnded;
};

using LibraryStepFunction = LibraryStep (*)(void* decoder, LibraryCall& call);

// Runs `step` over the entry's data until the method's end, damage or the data's end. Every
// byte the library gives out is written, also when it then rejects the data, so what decoded
// before damage is kept. Output beyond the recorded uncompressed size (where the length is
// known) ends the run as damage. `consumed` counts the bytes the library took, so for a method that
// ended itself it is where the data ends.
DecodeResult runLibraryDecoder(ExtractContext& context, void* decoder, LibraryStepFunction step);

// Fills `buffer` with up to `capacity` bytes of the entry's data, never past its length; 0 when
// the data is used up or the archive ended.
uint32_t readLibraryPiece(ExtractContext& context, uint8_t* buffer, uint32_t capacity);

// The memory a library may take for one entry's dictionary or window: far above what the
// writers' strongest settings need (xz -9 and 7z -mx=9 use 64 MiB dictionaries), but a damaged
// header cannot make it allocate gigabytes. Beyond it the entry ends as out of memory.
inline constexpr uint64_t kLibraryMemoryLimit = uint64_t{1} << 29;

}  // namespace zipsalvage
