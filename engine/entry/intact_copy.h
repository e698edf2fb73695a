// --copy-intact: an entry that decoded whole keeps its original compressed bytes in the output
// instead of being re-encoded. It is still decoded in full and judged by its CRC-32 first, so
// nothing unchecked is copied; damaged, partial and encrypted entries are re-encoded as usual.
#pragma once

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
bool copiesOriginal(const SalvageRun& run, const QueuedItem& item, bool intact);

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
OriginalCopy writeOriginalData(SalvageRun& run, const QueuedItem& item);

// Begins the entry at the output's position and writes its original bytes; a failed read
// leaves nothing of the entry in the output.
OriginalCopy writeOriginalEntry(SalvageRun& run, QueuedItem& item);

}  // namespace zipsalvage
