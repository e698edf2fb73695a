// A whole archive damaged by a text-mode transfer: whether it looks converted, and which way,
// from its bytes and the records that survive (the end record, the central directory, the
// distances between local headers); then, entry by entry, which CRs go back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extract/text_transfer.h"
#include "extract/text_transfer_search.h"

namespace zipsalvage {

// The converted archive's bytes at an offset: its file, or memory. `readAt` copies up to `count`
// bytes at `offset` into `into` and says how many (fewer only at the end, or when reading fails).
struct ArchiveBytes {
    void* owner = nullptr;
    uint64_t size = 0;
    uint32_t (*readAt)(void* owner, uint64_t offset, uint8_t* into, uint32_t count) = nullptr;
};

// An archive held in memory, and the ArchiveBytes that reads it.
struct MemoryArchive {
    const uint8_t* bytes = nullptr;
    size_t size = 0;
};
ArchiveBytes memoryArchiveBytes(MemoryArchive& memory);

inline constexpr int kLineEndChanges = 4;  // the LineEndChange values, kNone included

// What the detection saw, for the log, the tests and the benchmark. The counts are those of the
// bytes read: up to where the bytes ruled out every conversion.
struct TransferVerdict {
    LineEndChange change = LineEndChange::kNone;
    uint64_t lineFeeds = 0;
    uint64_t loneLineFeeds = 0;  // LFs without a CR before them
    uint64_t crLfPairs = 0;
    // Spans between records whose original length the archive records (local header to local
    // header, to the central directory, to the end record) with an LF inside, so that the
    // readings disagree on them, as the reading taken reads the records; and, by LineEndChange,
    // how many spans each reading fits of those it reads.
    uint32_t tellingSpans = 0;
    uint32_t fittingSpans[kLineEndChanges] = {};
};

// Takes the archive for converted only when a reading fits every telling span while the bytes as
// they are do not, and the bytes agree (no LF without a CR before it after a change to CR LF,
// almost no CR LF after a change to LF). An intact archive reads as it is, however many CR LF
// pairs its data holds; an archive without surviving records or LFs is never taken for
// converted. Reads the archive once, only as far as some conversion still fits its bytes, then
// the records.
TransferVerdict detectLineEndChange(const ArchiveBytes& archive);

// One entry of a converted archive, as the undo found it.
struct EntryTransfer {
    uint64_t convertedAt = 0;  // its local header in the converted archive
    EntryUndoVerdict verdict = EntryUndoVerdict::kGaveUp;
    int64_t crsToPutBack = -1;  // what the archive's layout said, -1 when it said nothing
    uint64_t work = 0;
    uint64_t ordinaryWork = 0;  // what one decode of the entry reads and writes
    uint64_t dataEnd = 0;       // converted offset after its data, when whole
};

struct ArchiveTransferUndo {
    LineEndUndo undo;  // the change and every CR that goes back, for undoPiece
    std::vector<EntryTransfer> entries;
};

// Finds the entries by their local headers (read by the default undo) and searches each. An
// entry that is encrypted, too big or not found whole keeps the default undo.
ArchiveTransferUndo undoArchiveTransfer(const ArchiveBytes& archive, LineEndChange change);

}  // namespace zipsalvage
