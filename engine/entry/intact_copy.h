// --copy-intact: an entry that decoded whole keeps its original compressed bytes in the output
// instead of being re-encoded. It is still decoded in full and judged by its CRC-32 first, so
// nothing unchecked is copied; damaged, partial and encrypted entries are re-encoded as usual.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "engine/entry/entry_attempts.h"
#include "engine/entry/judged_entry.h"

namespace zipsalvage {

// Records where the entry's compressed bytes lie when they may be copied: an unencrypted stored
// or deflated entry whose decoder ran to its end over exactly the compressed size known for it
// (so the copy holds its data and nothing else), and that fits its header (no Zip64 size where
// the header has no Zip64 field).
void noteOriginalData(QueuedItem& item, uint16_t flags, uint16_t method, int64_t dataStart,
                      const Attempt& attempt);

// True when the judged entry goes out as its original bytes: the run asked for it, the output
// is an archive (a folder or a test run takes decoded bytes), and the bytes are intact.
bool copiesOriginal(const EntryContext& run, const QueuedItem& item, bool intact);

// The entry's fields as the copy writes them: its own method, its recorded CRC-32, which the
// decoded bytes matched, and its compressed size.
Recompressed originalAsWritten(const QueuedItem& item);

enum class OriginalCopy {
    kCopied,
    kReadFailed,   // nothing of the entry is in the output: it is re-encoded instead
    kWriteFailed,  // the output failed (run.outputFailed is set)
    kLeftOut,      // the output did not take the entry (it said why)
};

// Writes the original compressed bytes through run.output, the entry begun. A read of the
// archive that fails leaves the entry to be re-encoded from its decoded bytes, which hold the
// same data.
OriginalCopy writeOriginalData(EntryContext& run, const QueuedItem& item);

// Begins the entry at the output's position and writes its original bytes; a failed read
// leaves nothing of the entry in the output.
OriginalCopy writeOriginalEntry(EntryContext& run, QueuedItem& item);

// Where the scan stood at an entry's header, so that it can go back there.
struct ScanMark {
    int64_t signatureEnd = 0;  // where the header's signature ends: the scan's resume point
    uint64_t filesFound = 0;
    size_t headersSeen = 0;
    uint64_t lookedAgain = 0;  // bytes scanned again behind damaged entries
};

// An entry checked on an encoder thread while the scan goes on behind it (the run's
// entry_check_ahead.h): its compressed bytes as the scan read them, and the worker's verdict.
struct CheckAhead {
    ScanMark mark;
    // The compressed data, then the bytes behind it a decoder may read (kDataAllowanceBytes, as
    // far as the archive goes). Not zeroed first: every byte counted is read into it.
    std::unique_ptr<uint8_t[]> held;
    size_t heldBytes = 0;
    size_t dataBytes = 0;
    uint16_t method = 0;
    uint16_t flags = 0;
    uint32_t recordedCrc = 0;
    uint64_t recordedSize = 0;
    // Set by the worker before it marks the item done: the decoding gave the entry whole, and
    // read so many bytes behind its data (where the scanning thread's reader would then stand).
    bool intact = false;
    size_t bytesPastData = 0;
};

// The worker's part: decodes the held bytes and sets `intact`. The decoding comes out as the
// scanning thread's would have, over the same bytes: it must end exactly at the data's end, give
// the recorded size and CRC-32 with nothing repaired or left unknown.
void runCheckAhead(CheckAhead& check);

}  // namespace zipsalvage
