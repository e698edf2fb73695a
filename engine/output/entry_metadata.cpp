// Names, kept extra fields and the directory's second word on each output entry.
#include "engine/output/entry_metadata.h"

#include <cstring>
#include <string>

#include "engine/output/zip_records.h"
#include "engine/scan/entry_names.h"
#include "engine/scan/extra_fields.h"
#include "engine/witness/central_directory.h"
#include "resources/strings.h"

namespace zipsalvage {
namespace {

constexpr uint16_t kMethodWinZipAes = 99;

}  // namespace

bool describeLocalEntry(SalvagedEntry& entry, const uint8_t* extra, size_t extraSize) {
    LocalHeader& header = entry.header;
    uint16_t nameLength = headerField16(header, kLocalNameLength);
    uint16_t flags = headerField16(header, kLocalFlags);
    const auto* rawName = reinterpret_cast<const uint8_t*>(entry.name.data());
    entry.metadata.recordedName.assign(entry.name.data(), nameLength);
    ChosenName chosen =
        chooseEntryName(rawName, nameLength, flags, extra, extraSize, kMaxNameLength);
    if (chosen.name.empty()) {
        // An entry recorded without a name still needs one of its own to be extracted and told
        // apart from others: where it lay.
        chosen.name = "unnamed-at-" + std::to_string(entry.metadata.archiveOffset);
        chosen.utf8 = false;
    }
    if (chosen.name.size() != nameLength ||
        std::memcmp(chosen.name.data(), entry.name.data(), nameLength) != 0) {
        entry.name = std::move(chosen.name);
        setHeaderField16(header, kLocalNameLength, static_cast<uint16_t>(entry.name.size()));
    }
    flags = static_cast<uint16_t>(chosen.utf8 ? flags | kFlagUtf8Name : flags & ~kFlagUtf8Name);
    setHeaderField16(header, kLocalFlags, flags);

    // The AES field tells a reader how the copied data is encrypted; only such entries keep it.
    bool keepAes = headerField16(header, kLocalMethod) == kMethodWinZipAes;
    KeptExtraFields kept = keepExtraFields(extra, extraSize, keepAes);
    if (keepAes) entry.metadata.aes = findAesField(extra, extraSize);
    entry.metadata.localExtra = std::move(kept.local);
    entry.metadata.centralExtra = std::move(kept.central);
    setHeaderField16(header, kLocalExtraLength,
                     static_cast<uint16_t>(entry.metadata.localExtra.size()));
    return true;
}

void finishOutputHeader(SalvagedEntry& entry) {
    LocalHeader& header = entry.header;
    uint16_t flags = headerField16(header, kLocalFlags);
    if (entry.metadata.keptEncrypted) {
        // A data descriptor follows the copy where bit 3 says one does.
        if (headerField16(header, kLocalVersionNeeded) < kVersionWritten)
            setHeaderField16(header, kLocalVersionNeeded, kVersionWritten);
        return;
    }
    if (entry.metadata.keptAsIs) {
        // The copy keeps its flags (encryption, method options); its sizes now stand in the
        // header and no data descriptor follows.
        setHeaderField16(header, kLocalFlags, static_cast<uint16_t>(flags & ~kFlagDataDescriptor));
        if (headerField16(header, kLocalVersionNeeded) < kVersionWritten)
            setHeaderField16(header, kLocalVersionNeeded, kVersionWritten);
        return;
    }
    // Re-encoded data is neither encrypted nor streamed: only the name's flag stays.
    setHeaderField16(header, kLocalFlags, static_cast<uint16_t>(flags & kFlagUtf8Name));
    setHeaderField16(header, kLocalVersionNeeded, kVersionWritten);
}

void applyDirectoryWitness(SalvagedEntry* list, CentralDirectory& directory) {
    if (directory.records.empty()) return;
    for (SalvagedEntry* entry = list; entry != nullptr; entry = entry->next) {
        if (entry->metadata.archiveOffset < 0) continue;
        // The record names the entry as its local header did, before any Unicode Path name.
        const std::string& name = entry->metadata.recordedName;
        const CentralRecord* record =
            findCentralRecord(directory, static_cast<uint64_t>(entry->metadata.archiveOffset),
                              name.data(), name.size());
        if (record == nullptr) continue;
        entry->metadata.witnessed = true;
        entry->metadata.versionMadeBy = record->versionMadeBy;
        entry->metadata.externalAttributes = record->externalAttributes;
        entry->metadata.comment = record->comment;
        const std::string& note = entry->metadata.unknownNote;
        if (!note.empty()) {
            if (!record->comment.empty()) entry->metadata.comment += "; ";
            entry->metadata.comment += note;
            // The field holds 65535 bytes (APPNOTE 4.4.16).
            if (entry->metadata.comment.size() > 65535) entry->metadata.comment.resize(65535);
        }
    }
}

// The comment of an entry with holes in Salvaged.zip's central directory: where they are,
// after the entry's own comment.
void noteUnknownInComment(EntryMetadata& metadata, const UnknownRanges& unknown) {
    if (unknown.ranges.empty()) return;
    std::string note(256, '\0');
    formatText(note.data(), static_cast<int>(note.size()), loadText(kTextUnknownRangesComment),
               static_cast<unsigned long long>(unknownByteCount(unknown)));
    note.resize(std::strlen(note.c_str()));
    std::string& comment = metadata.unknownNote;
    comment = note;
    // A few kilobytes of spans at most, so that a comment of the directory's keeps its room in
    // the field's 65535 bytes (APPNOTE 4.4.16); the spans past them are left out.
    constexpr size_t kRoomForSpans = 4096;
    for (size_t index = 0; index < unknown.ranges.size(); ++index) {
        const std::string span = " [" + std::to_string(unknown.ranges[index].start) + ", " +
                                 std::to_string(unknown.ranges[index].end) + ")";
        if (comment.size() + span.size() > kRoomForSpans) {
            comment += " ...";
            break;
        }
        comment += span;
    }
    // The directory's comment, where one survives, goes in front of it at the end of the scan.
    metadata.comment = comment;
}

}  // namespace zipsalvage
