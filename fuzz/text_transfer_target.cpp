// The text-mode transfer target: the detection, the archive undo and the entry search over any
// bytes, with what must hold besides not crashing: every CR put back is at an LF of the input,
// in order; an entry called whole decodes whole; and no search works past its bound, so no
// input makes one run long.
//
// Input: a mode byte (bits 0-1 a LineEndChange; bit 2 the entry search instead of the archive;
// bit 3 apply the change to the rest first, so that real archives among the seeds become
// converted ones). Archive: the rest is the archive, undone the way it is detected and the way
// the mode byte says. Entry: a method byte (0 stored, 1 deflated, else that method), a flags
// byte, 2 bytes of compressed size, 2 bytes of uncompressed size in units of 16 bytes (so at
// most about 1 MiB), 4 bytes of CRC-32, a count byte (255: the layout says nothing), the rest
// the converted bytes from the entry's data on.
#include <vector>

#include "core/zip_format.h"
#include "extract/text_transfer_archive.h"
#include "extract/text_transfer_candidate.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

// A search's work may pass its limit by what one step of it costs: a walk to its next pause
// or a whole decode for the verdict.
uint64_t workBound(uint64_t compressed, uint64_t uncompressed) {
    uint64_t ordinary = compressed + uncompressed;
    return kSearchWorkFactor * ordinary + kSearchAllowanceBytes + 4 * ordinary + 65536;
}

void checkPlaces(const uint8_t* converted, size_t size, const std::vector<uint64_t>& at) {
    for (size_t index = 0; index < at.size(); ++index) {
        FUZZ_CHECK(at[index] < size && converted[at[index]] == kLineFeed,
                   "a CR goes back before a byte that is not an LF");
        FUZZ_CHECK(index == 0 || at[index - 1] < at[index], "the CRs put back are out of order");
    }
}

void fuzzEntry(FuzzInput& input, LineEndChange change) {
    TransferredEntry entry;
    uint8_t method = input.byte();
    entry.method = method == 0 ? kMethodStored : method == 1 ? uint16_t{kMethodDeflated} : method;
    entry.flags = input.byte();
    entry.compressedSize = input.le16();
    entry.uncompressedSize = uint64_t{input.le16()} * 16;
    entry.crc32 = input.le32();
    uint8_t count = input.byte();
    entry.crsToPutBack = count == 255 ? -1 : count;
    std::vector<uint8_t> converted(input.rest(), input.rest() + input.restSize());
    EntryUndo undo =
        undoEntryTransfer(change, converted.data(), converted.size(), kNoByteBefore, entry);
    FUZZ_CHECK(undo.work <= workBound(entry.compressedSize, entry.uncompressedSize),
               "the entry search worked past its bound");
    std::vector<uint64_t> at(undo.crPutBackAt.begin(), undo.crPutBackAt.end());
    checkPlaces(converted.data(), converted.size(), at);
    FUZZ_CHECK(undo.convertedLength <= converted.size(), "the data reaches past the bytes given");
    if (undo.verdict == EntryUndoVerdict::kWhole) {
        FUZZ_CHECK(undo.data.size() == entry.compressedSize, "a whole entry has the wrong size");
        uint64_t work = 0;
        FUZZ_CHECK(decodesWhole(entry, undo.data.data(), undo.data.size(), work),
                   "an entry called whole does not decode whole");
    }
}

void fuzzArchive(LineEndChange change, const std::vector<uint8_t>& archive) {
    MemoryArchive memory{archive.data(), archive.size()};
    ArchiveBytes bytes = memoryArchiveBytes(memory);
    TransferVerdict verdict = detectLineEndChange(bytes);
    FUZZ_CHECK(verdict.loneLineFeeds <= verdict.lineFeeds && verdict.crLfPairs <= verdict.lineFeeds,
               "the byte counts disagree");
    for (LineEndChange reading : {verdict.change, change}) {
        ArchiveTransferUndo undo = undoArchiveTransfer(bytes, reading);
        checkPlaces(archive.data(), archive.size(), undo.undo.crPutBackAt);
        for (const EntryTransfer& entry : undo.entries) {
            FUZZ_CHECK(entry.work <= workBound(entry.ordinaryWork, 0) + entry.ordinaryWork,
                       "an entry search in the archive worked past its bound");
        }
        std::vector<uint8_t> undone = undoAll(undo.undo, archive.data(), archive.size());
        FUZZ_CHECK(undone.size() <= 2 * archive.size(), "the undo more than doubled the archive");
        if (reading == LineEndChange::kNone) {
            FUZZ_CHECK(undone == archive, "the undo of no change changed the archive");
        }
    }
}

}  // namespace

int fuzzTextTransfer(const uint8_t* data, size_t size) {
    FuzzInput input{data, size};
    uint8_t mode = input.byte();
    auto change = static_cast<LineEndChange>(mode & 3);
    if ((mode & 4) != 0) {
        // The entry's fields come first; only the bytes after them are converted.
        FuzzInput fields = input;
        for (int index = 0; index < 11; ++index) fields.byte();
        std::vector<uint8_t> head(input.rest(), fields.rest());
        std::vector<uint8_t> body(fields.rest(), fields.rest() + fields.restSize());
        if ((mode & 8) != 0) body = applyLineEndChange(change, body.data(), body.size());
        head.insert(head.end(), body.begin(), body.end());
        FuzzInput entryInput{head.data(), head.size()};
        fuzzEntry(entryInput, change);
        return 0;
    }
    std::vector<uint8_t> archive(input.rest(), input.rest() + input.restSize());
    if ((mode & 8) != 0) archive = applyLineEndChange(change, archive.data(), archive.size());
    fuzzArchive(change, archive);
    return 0;
}

}  // namespace zipsalvage::fuzz
