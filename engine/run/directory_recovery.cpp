// Recovering an entry from its central directory record when its local header is lost.
#include "engine/run/directory_recovery.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "engine/entry/entry_salvage.h"
#include "engine/run/entry_pipeline.h"
#include "engine/run/run_report.h"
#include "engine/run/salvage_run.h"
#include "engine/witness/central_directory.h"
#include "extract/extract_context.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

void logAboutEntry(RunLog& log, int textId, const SalvagedEntry& entry) {
    std::string shown = shownName(log, entry);
    std::string line(shown.size() + 256, '\0');
    formatText(line.data(), static_cast<int>(line.size()), textOf(textId), shown.c_str());
    logText(log, line.c_str());
}

// The local header the directory's record implies: its method, flags (without bit 3, since its
// sizes are known), times, CRC-32 and sizes, its name and no extra field.
std::unique_ptr<QueuedItem> itemFromRecord(const CentralRecord& record, int64_t headerOffset) {
    std::unique_ptr<QueuedItem> item(new (std::nothrow) QueuedItem);
    if (item == nullptr) return item;
    OwnedEntry owned(new (std::nothrow) SalvagedEntry{});
    if (owned == nullptr) return nullptr;
    owned->name = record.name;
    LocalHeader& header = owned->header;
    storeLE32(header.bytes, kLocalHeaderSignature);
    setHeaderField16(header, kLocalVersionNeeded, record.versionNeeded);
    setHeaderField16(header, kLocalFlags,
                     static_cast<uint16_t>(record.flags & ~kFlagDataDescriptor));
    setHeaderField16(header, kLocalMethod, record.method);
    setHeaderField16(header, kLocalModTime, record.modTime);
    setHeaderField16(header, kLocalModDate, record.modDate);
    setHeaderField32(header, kLocalCrc32, record.crc32);
    auto size32 = [](uint64_t size) {
        return needsZip64(size) ? kZip64Marker32 : static_cast<uint32_t>(size);
    };
    setHeaderField32(header, kLocalCompressedSize, size32(record.compressedSize));
    setHeaderField32(header, kLocalUncompressedSize, size32(record.uncompressedSize));
    setHeaderField16(header, kLocalNameLength, static_cast<uint16_t>(record.name.size()));
    owned->metadata.archiveOffset = headerOffset;
    if (!describeLocalEntry(*owned, nullptr, 0)) return nullptr;
    item->recordedHeader = owned->header;
    item->recordedSizes = EntrySizes{record.compressedSize, record.uncompressedSize};
    item->entry = std::move(owned);
    return item;
}

// Where the data may start: behind the header as it recorded its lengths, where its name length
// still agrees with the directory's, then with the central header's extra length, then none.
std::vector<int64_t> dataStartCandidates(ArchiveReader& reader, const CentralRecord& record,
                                         int64_t headerOffset) {
    const int64_t named =
        headerOffset + kLocalHeaderSize + static_cast<int64_t>(record.name.size());
    std::vector<int64_t> starts;
    uint8_t fixed[kLocalHeaderSize];
    moveTo(reader, headerOffset);
    if (readUpTo(reader, fixed, kLocalHeaderSize) == kLocalHeaderSize &&
        loadLE16(fixed + kLocalNameLength) == record.name.size()) {
        starts.push_back(named + loadLE16(fixed + kLocalExtraLength));
    }
    for (int64_t start : {named + int64_t{record.extraLength}, named}) {
        if (std::find(starts.begin(), starts.end(), start) == starts.end()) starts.push_back(start);
    }
    return starts;
}

}  // namespace

int64_t unseenHeaderOffset(const EntryContext& run, const std::vector<int64_t>& seen,
                           const CentralRecord& record) {
    auto offset = static_cast<int64_t>(record.localHeaderOffset);
    const int64_t shifted = offset + run.directoryAhead.offsetShift;
    if (std::binary_search(seen.begin(), seen.end(), offset) ||
        std::binary_search(seen.begin(), seen.end(), shifted)) {
        return -1;
    }
    // Offsets that count from the archive's own start, behind whatever precedes it.
    if (offset >= static_cast<int64_t>(run.reader.archiveSize) ||
        run.directoryAhead.offsetShift != 0) {
        offset = shifted;
    }
    return offset;
}

DirectoryRecovery recoverFromDirectory(QueueContext& run, const CentralRecord& record,
                                       int64_t headerOffset, std::unique_ptr<QueuedItem>& item) {
    item = itemFromRecord(record, headerOffset);
    if (item == nullptr) return DirectoryRecovery::kLost;
    // Encrypted data would ask for a password on bytes that may not be the entry's; a method
    // that is only copied has nothing to judge its bytes by.
    const bool judgeable = (record.flags & kFlagEncrypted) == 0 && decodesMethod(record.method) &&
                           headerOffset >= 0 && record.compressedSize <= run.reader.archiveSize;
    for (int64_t start : judgeable ? dataStartCandidates(run.reader, record, headerOffset)
                                   : std::vector<int64_t>{}) {
        std::unique_ptr<QueuedItem> attempt = itemFromRecord(record, headerOffset);
        if (attempt == nullptr) break;
        // A try that does not give the recorded bytes says nothing: its lines, its count as
        // found and its verdict (on the try's own item) go.
        const uint64_t foundBefore = run.filesFound;
        auto* logLine = run.ui.logLine;
        run.ui.logLine = nullptr;
        moveTo(run.reader, start);
        ++run.filesFound;
        bool judged = judgeEntry(run, *attempt, attempt->recordedSizes);
        run.ui.logLine = logLine;
        if (!judged || attempt->damaged || !judgedEntryIntact(*attempt)) {
            run.filesFound = foundBefore;
            if (isCancelled(run.flags)) return DirectoryRecovery::kLost;
            continue;
        }
        item = std::move(attempt);
        SalvagedEntry& entry = *item->entry;
        logAboutEntry(run, kTextLocalHeaderDamaged, entry);
        int64_t headerAt = run.output->position();
        if (headerAt < 0) {
            run.outputFailed = true;
            return DirectoryRecovery::kOutputFailed;
        }
        entry.headerOffset = static_cast<uint64_t>(headerAt);
        if (!writeJudgedEntry(run, *item)) {
            // Its re-encoding failed (the log said so): what went out of it is cut.
            if (run.outputFailed || !run.output->dropEntry(headerAt)) {
                run.outputFailed = true;
                return DirectoryRecovery::kOutputFailed;
            }
            return DirectoryRecovery::kLost;
        }
        finishOutputHeader(entry);
        if (!run.output->finishEntry(entry)) {
            run.outputFailed = true;
            return DirectoryRecovery::kOutputFailed;
        }
        return DirectoryRecovery::kRecovered;
    }
    logAboutEntry(run, kTextLocalHeaderLost, *item->entry);
    ++run.filesFound;
    item->verdict = EntryVerdict::kUnrecoverable;
    return DirectoryRecovery::kLost;
}

// The entries the directory read ahead lists and the scan missed, in the order of their local
// headers: each one recovered from its record or named as lost. False when the output failed or
// the run was cancelled.
bool recoverUnseenEntries(QueueContext& run) {
    std::sort(run.headersSeen.begin(), run.headersSeen.end());
    // Judging a recovered entry looks records up, which sorts them on first use: sorted later,
    // under the walk, they would let one record be recovered twice and another never.
    sortCentralRecords(run.directoryAhead);
    for (const CentralRecord& record : run.directoryAhead.records) {
        if (isCancelled(run.flags)) return false;
        int64_t offset = unseenHeaderOffset(run, run.headersSeen, record);
        if (offset < 0) continue;
        std::unique_ptr<QueuedItem> item;
        DirectoryRecovery recovery = recoverFromDirectory(run, record, offset, item);
        if (recovery == DirectoryRecovery::kOutputFailed) return false;
        if (item == nullptr) continue;
        const bool written = recovery == DirectoryRecovery::kRecovered;
        reportEntry(run, *item, written);
        if (written) appendEntry(run, item->entry.release());
    }
    return true;
}

}  // namespace zipsalvage
