// An entry as its judging leaves it: the entry to write with its decoded bytes, what is known
// of them, and, once re-encoded, the encoded bytes; or a log line that waits its turn.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/entry/decoded_bytes.h"
#include "engine/state/run_state.h"
#include "extract/unknown_ranges.h"
#include "recompress/recompress_stream.h"

namespace zipsalvage {

// How one entry ended, as far as the scan after it and its report care.
struct EntryOutcome {
    // The method ran to its end and the bytes match the recorded CRC-32 and size: the bytes
    // the entry consumed are its own and need no second look.
    bool intact = false;
    // The reader already stands where the scan goes on (behind a data descriptor).
    bool positioned = false;
    // Flag bit 3 with no sizes in the local header: what is recorded comes from the
    // descriptor, when one was found (sizeKnown).
    bool streamed = false;
    bool sizeKnown = true;
    uint64_t recordedSize = 0;
    uint32_t recordedCrc = 0;
    // The spans of the decoded bytes that are zeros standing for bytes not decoded.
    UnknownRanges unknown;
    // No password opened the entry: judgeEntry left it out, to be copied still encrypted (the
    // reader stands at the start of its data, any encryption header included).
    bool keepEncrypted = false;
};

// Re-encoded bytes in memory blocks from the block cache, each twice the size of the one before
// (from 4 KiB to 256 KiB), so a small entry takes little while it waits.
struct EncodedBytes {
    std::vector<uint8_t*> blocks;
    std::vector<uint32_t> blockSizes;
    uint64_t size = 0;
    uint64_t capacity = 0;

    EncodedBytes() = default;
    ~EncodedBytes();
    EncodedBytes(const EncodedBytes&) = delete;
    EncodedBytes& operator=(const EncodedBytes&) = delete;
};
inline constexpr uint32_t kFirstEncodedBlockBytes = 4u * 1024;
inline constexpr uint32_t kLargestEncodedBlockBytes = 256u * 1024;

// The stream output that appends to `bytes`; it takes fewer bytes than offered only when no
// memory is left.
StreamOutput encodedOutput(EncodedBytes& bytes);
// Gives every block back.
void clearEncoded(EncodedBytes& bytes);

// How re-encoding one entry came out.
struct Recompressed {
    bool succeeded = false;
    bool streamMade = false;  // the stream's buffers were had (false: no memory for them)
    uint16_t method = 0;
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
};

// Where an entry's compressed bytes lie in the archive, when --copy-intact may copy them
// (intact_copy.h).
struct OriginalData {
    bool copyable = false;
    uint16_t method = 0;
    int64_t start = 0;  // the first data byte, in the archive the scan reads
    uint64_t size = 0;
};

// An entry checked on an encoder thread (intact_copy.h), and its owner.
struct CheckAhead;
struct CheckRelease {
    void operator()(CheckAhead* check) const;
};

// One thing the run shows or writes, in archive order: a log line, or an entry (written or
// left out) with its report.
struct QueuedItem {
    bool isLine = false;
    std::string line;

    OwnedEntry entry;
    LocalHeader recordedHeader{};  // the header as found, for the report
    EntrySizes recordedSizes{};
    EntryOutcome outcome;
    // What its judging, copy or writing found against the entry (kWhole: nothing); the run
    // report counts it once, when the entry's report is due.
    EntryVerdict verdict = EntryVerdict::kWhole;
    bool toWrite = false;  // false: left out, only its report is due

    // An entry to write: its decoded bytes, and what the worker made of them.
    DecodedBytes decoded;
    uint64_t heldBytes = 0;  // the memory its decoded bytes took when queued (0: none)
    uint64_t recovered = 0;
    std::string shownName;
    bool damaged = false;   // already logged as damaged
    bool crcKnown = false;  // the CRC-32 to compare the written bytes with
    uint32_t expectedCrc = 0;
    Recompressed written;
    EncodedBytes encoded;
    OriginalData original;
    bool copyOriginal = false;  // decided when queued: the worker copies nothing, encodes nothing
    // Not judged yet: a worker checks the entry, which goes out as its held bytes if intact.
    std::unique_ptr<CheckAhead, CheckRelease> check;
    bool encodedDone = false;  // set by the worker, under the pipeline's lock
};

}  // namespace zipsalvage
