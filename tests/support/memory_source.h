// A decoder test bench: an entry's compressed bytes from memory, its output into a temp file.
#pragma once

#include <string>

#include "extract/extract_context.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {

// Serves bytes from a buffer; `available` bytes can be read in all (fewer than the data to
// mimic a truncated archive).
struct MemorySource {
    Bytes bytes;
    size_t offset = 0;
    size_t available = SIZE_MAX;
    EntryByteSource source();
};

// One decoder run: a context over `data` (with `compressedSize` recorded, the data's size by
// default), writing into a temporary file. output() gives what the method wrote.
struct DecoderBench {
    TempDir dir;
    MemorySource input;
    RunFlags flags;
    ExtractContext context;
    FileHandle outputFile = kInvalidFile;

    DecoderBench(const Bytes& data, uint32_t uncompressedSize, int64_t compressedSize = -1);
    ~DecoderBench();
    DecoderBench(const DecoderBench&) = delete;
    DecoderBench& operator=(const DecoderBench&) = delete;
    Bytes output();
};

}  // namespace zipsalvage::testing
