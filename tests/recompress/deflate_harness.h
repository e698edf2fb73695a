// Runs deflateFile over bytes in memory through real files, as the salvage engine does.
#pragma once

#include <cstdint>
#include <string>

#include "core/run_flags.h"
#include "platform/platform.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct DeflateRun {
    bool completed = false;  // deflateFile succeeded
    Bytes output;            // written by the encoder plus what it left in outBuffer
    uint32_t crc = 0;
    uint64_t bytesWritten = 0;
    int32_t inputConsumed = 0;  // bytes handed out by streamReadByte (via the file position)
};

// Deflates `input`; `flags` defaults to fresh ones. The caller's final write of outBuffer is
// made only when it completed. `failAllocation` (see failAllocationAfter) is armed once the
// stream is set up, so it hits the encoder's own allocations.
DeflateRun deflateBytes(const Bytes& input, RunFlags* flags = nullptr, int failAllocation = 0);

// Deflates whatever can be read from `inputFile` (a file or a pipe) into a fresh output file.
DeflateRun deflateFrom(FileHandle inputFile, RunFlags& flags);

// zlib's raw inflate of `deflated`; `complete` is set when the data ended with its last block.
Bytes zlibInflate(const Bytes& deflated, bool* complete = nullptr);

}  // namespace zipsalvage::testing
