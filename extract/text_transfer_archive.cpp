// The undo of a converted archive, entry by entry: each local header read through the default
// undo, the entry's facts from it (or from its central record when the local header leaves the
// sizes to a data descriptor), how many CRs go back from the spans the records give, and the
// entry search over the entry's bytes in memory.
#include "extract/text_transfer_archive.h"

#include <algorithm>

#include "extract/text_transfer_scan.h"

namespace zipsalvage {
namespace {

// The CRs that go back in the span starting at each signature, where the records say.
std::vector<int64_t> crsBySignature(const ArchiveScan& scan, const ReadRecords& records,
                                    LineEndChange change) {
    std::vector<int64_t> crs(scan.signatures.size(), -1);
    for (const KnownSpan& span : knownSpans(scan, records, change)) {
        crs[span.from] = crsPutBackIn(scan, span, change);
    }
    return crs;
}

size_t signatureIndexOf(const ArchiveScan& scan, uint64_t at) {
    auto found = std::lower_bound(
        scan.signatures.begin(), scan.signatures.end(), at,
        [](const FoundSignature& signature, uint64_t offset) { return signature.at < offset; });
    return static_cast<size_t>(found - scan.signatures.begin());
}

EntryTransfer undoEntryAt(const ArchiveBytes& archive, LineEndChange change,
                          const LocalRecord& local, const CentralRecordRead* central,
                          int64_t crsToPutBack, std::vector<uint64_t>& crPutBackAt) {
    EntryTransfer result;
    result.convertedAt = local.at;
    result.crsToPutBack = crsToPutBack;
    TransferredEntry entry;
    entry.method = local.method;
    entry.flags = local.flags;
    entry.crc32 = local.crc32;
    entry.compressedSize = local.compressedSize;
    entry.uncompressedSize = local.uncompressedSize;
    if (!local.sizesKnown) {
        if (central == nullptr) {
            result.verdict = EntryUndoVerdict::kNotSearched;
            return result;
        }
        entry.crc32 = central->crc32;
        entry.compressedSize = central->compressedSize;
        entry.uncompressedSize = central->uncompressedSize;
    }
    entry.crsToPutBack = crsToPutBack;
    result.ordinaryWork = entry.compressedSize + entry.uncompressedSize;
    if (entry.compressedSize > kMaxSearchedCompressed ||
        entry.uncompressedSize > kMaxSearchedUncompressed) {
        result.verdict = EntryUndoVerdict::kTooBig;
        return result;
    }
    uint64_t spanEnd = std::min(archive.size, local.dataAt + 2 * entry.compressedSize + 64);
    std::vector<uint8_t> span(
        static_cast<size_t>(spanEnd > local.dataAt ? spanEnd - local.dataAt : 0));
    uint64_t got = 0;
    while (got < span.size()) {
        uint64_t left = span.size() - got;
        auto want = static_cast<uint32_t>(left < (1u << 30) ? left : (1u << 30));
        uint32_t read = archive.readAt(archive.owner, local.dataAt + got, span.data() + got, want);
        if (read == 0) break;
        got += read;
    }
    span.resize(static_cast<size_t>(got));
    int byteBefore = kNoByteBefore;
    uint8_t before = 0;
    if (local.dataAt > 0 && archive.readAt(archive.owner, local.dataAt - 1, &before, 1) == 1) {
        byteBefore = before;
    }
    EntryUndo undo = undoEntryTransfer(change, span.data(), span.size(), byteBefore, entry);
    result.verdict = undo.verdict;
    result.work = undo.work;
    for (uint32_t offset : undo.crPutBackAt) crPutBackAt.push_back(local.dataAt + offset);
    result.dataEnd = local.dataAt + undo.convertedLength;
    return result;
}

}  // namespace

ArchiveTransferUndo undoArchiveTransfer(const ArchiveBytes& archive, LineEndChange change) {
    ArchiveTransferUndo result;
    result.undo.change = change;
    if (change == LineEndChange::kNone) return result;
    ArchiveScan scan;
    if (!scanArchive(archive, scan)) return result;
    ReadRecords records = readRecords(archive, scan, change);
    std::vector<int> match = matchCentralRecords(scan, records, change);
    std::vector<int64_t> crs = crsBySignature(scan, records, change);
    // A local header inside the data of an entry found whole is part of that data (an archive
    // stored in the archive): its places are that entry's, already decided.
    uint64_t decidedUntil = 0;
    for (size_t index = 0; index < records.locals.size(); ++index) {
        const LocalRecord& local = records.locals[index];
        if (local.at < decidedUntil) continue;
        const CentralRecordRead* central =
            match[index] >= 0 ? &records.centrals[static_cast<size_t>(match[index])] : nullptr;
        int64_t crsToPutBack = crs[signatureIndexOf(scan, local.at)];
        // An exact undo puts no CR back: nothing to search, only to confirm.
        if (change == LineEndChange::kEveryLfToCrLf) crsToPutBack = 0;
        result.entries.push_back(
            undoEntryAt(archive, change, local, central, crsToPutBack, result.undo.crPutBackAt));
        EntryUndoVerdict verdict = result.entries.back().verdict;
        if (verdict == EntryUndoVerdict::kWhole || verdict == EntryUndoVerdict::kSettledByLayout) {
            decidedUntil = result.entries.back().dataEnd;
        }
    }
    std::vector<uint64_t>& at = result.undo.crPutBackAt;
    std::sort(at.begin(), at.end());
    at.erase(std::unique(at.begin(), at.end()), at.end());
    return result;
}

}  // namespace zipsalvage
