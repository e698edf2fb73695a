// The fuzz targets of the project. Each takes one input, runs the code under test over it and
// checks what must hold, reporting through FUZZ_CHECK; each returns 0 (libFuzzer's convention).
#pragma once

#include <cstddef>
#include <cstdint>

namespace zipsalvage::fuzz {

using FuzzTarget = int (*)(const uint8_t* data, size_t size);

// The whole salvage over the input as the damaged archive, through the real files.
int fuzzWholeRun(const uint8_t* data, size_t size);
// One decoder over a parameter header and the entry's data (see decoder_targets.cpp).
int fuzzInflate(const uint8_t* data, size_t size);
int fuzzExplode(const uint8_t* data, size_t size);
int fuzzUnshrink(const uint8_t* data, size_t size);
int fuzzUnreduce(const uint8_t* data, size_t size);
// The methods of outside libraries through the dispatch: bzip2; LZMA (14) and xz (95); zstd.
int fuzzBzip2(const uint8_t* data, size_t size);
int fuzzLzma(const uint8_t* data, size_t size);
int fuzzZstd(const uint8_t* data, size_t size);
// WinZip AES around deflated and stored data: decryption, the inner method, the code check.
int fuzzAes(const uint8_t* data, size_t size);
// buildHuffTables and freeHuffTables over code lengths, checked against canonical codes.
int fuzzHuffTables(const uint8_t* data, size_t size);
// readEntryByte and takeBlockBytes, plain and encrypted, against a model of the byte source.
int fuzzEntryBytes(const uint8_t* data, size_t size);
// inflate over valid streams whose every choice the input makes, against what they encode.
int fuzzGeneratedStream(const uint8_t* data, size_t size);
// The search behind damage and the flipped-bit repair over a valid stream damaged once.
int fuzzInflateResync(const uint8_t* data, size_t size);
// The detection and undo of text-mode transfers over an archive, or the search over one entry.
int fuzzTextTransfer(const uint8_t* data, size_t size);

struct NamedTarget {
    const char* name;  // also the folder of its corpus under fuzz/regressions/
    FuzzTarget run;
};

inline constexpr NamedTarget kFuzzTargets[] = {
    {"whole_run", fuzzWholeRun},
    {"inflate", fuzzInflate},
    {"explode", fuzzExplode},
    {"unshrink", fuzzUnshrink},
    {"unreduce", fuzzUnreduce},
    {"huff_tables", fuzzHuffTables},
    {"entry_bytes", fuzzEntryBytes},
    {"generated_stream", fuzzGeneratedStream},
    {"inflate_resync", fuzzInflateResync},
    {"text_transfer", fuzzTextTransfer},
    {"bzip2", fuzzBzip2},
    {"lzma", fuzzLzma},
    {"zstd", fuzzZstd},
    {"aes", fuzzAes},
};

}  // namespace zipsalvage::fuzz
