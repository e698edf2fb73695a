// The undo of a text-mode transfer for one entry: which of the ambiguous CR LF places of its data
// take the other reading, decided by the entry's decoder and its recorded CRC-32, within a bound
// on the work (a few times an ordinary decode), on the entry's bytes in memory.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extract/text_transfer.h"

namespace zipsalvage {

// Entries are searched only up to these sizes; larger ones keep the default undo.
inline constexpr uint64_t kMaxSearchedCompressed = 16u << 20;
inline constexpr uint64_t kMaxSearchedUncompressed = 64u << 20;
// The work a search may spend: this many times the bytes an ordinary decode reads and writes,
// plus kSearchAllowanceBytes, so small entries may be tried more exhaustively.
inline constexpr uint64_t kSearchWorkFactor = 6;
inline constexpr uint64_t kSearchAllowanceBytes = 64u << 10;

// What the entry's records say of it.
struct TransferredEntry {
    uint16_t method = 0;
    uint16_t flags = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint32_t crc32 = 0;
    // How many places take the other reading (a CR put back), when the archive's layout says
    // (the distance between two records whose offsets the central directory gives); -1 when not.
    int64_t crsToPutBack = -1;
};

enum class EntryUndoVerdict : uint8_t {
    kWhole,            // the data decodes to the recorded size and CRC-32
    kSettledByLayout,  // not decoded (encrypted, or a method not decoded here), but the count
                       // the layout gives leaves one reading: no CR back, or every one
    kGaveUp,           // no reading found within the bounds of the search
    kCutShort,         // the converted bytes end before the data can
    kTooBig,           // larger than the search holds in memory
    kNotSearched,      // encrypted, or in a method not decoded here, and the layout says nothing
};

struct EntryUndo {
    EntryUndoVerdict verdict = EntryUndoVerdict::kGaveUp;
    // Converted offsets (from the span's start) of the LFs that get their CR back, ascending.
    std::vector<uint32_t> crPutBackAt;
    // The entry's data as undone (compressedSize bytes) when whole, and how many converted
    // bytes it came from.
    std::vector<uint8_t> data;
    uint64_t convertedLength = 0;
    uint64_t work = 0;  // bytes the search decoded and read, verification included
};

// Undoes `change` on the converted bytes from the entry's first data byte on (`size` of them: as
// far as the archive goes, or at least twice the compressed size). `byteBefore` is the converted
// byte before the data (kNoByteBefore at the archive's start).
EntryUndo undoEntryTransfer(LineEndChange change, const uint8_t* converted, size_t size,
                            int byteBefore, const TransferredEntry& entry);

}  // namespace zipsalvage
