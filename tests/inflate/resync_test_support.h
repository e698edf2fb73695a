// The deflate path with recovery past damage as the salvage runs it, over a stream in memory,
// for the recovery and repair tests.
#pragma once

#include <string>

#include "extract/extract_context.h"
#include "extract/unknown_ranges.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {

uint32_t crcOf(const Bytes& bytes);

struct Recovered {
    DecodeResult result;
    Bytes output;
    UnknownRanges unknown;
    DataRepair repair;
};

// The deflate path as the salvage runs it: decoded once, and again as known damaged when the
// bytes have the recorded size but not the recorded CRC-32.
Recovered recover(const Bytes& stream, const Bytes& original);

// Every byte not listed as unknown is the original's; listed bytes are zeros.
void expectNothingInvented(const Bytes& original, const Recovered& recovered,
                           const std::string& what);

// The raw deflate data of the one entry of the Zip archive 7z writes with its own encoder (an
// optimal parse, whose matches are not always the longest); empty where 7z is missing.
Bytes sevenZipDeflate(const Bytes& original);

}  // namespace zipsalvage::testing
