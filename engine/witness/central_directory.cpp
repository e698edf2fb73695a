// Parsing central directory headers and keeping them for matching with salvaged entries.
#include "engine/witness/central_directory.h"

#include <algorithm>
#include <cstring>

#include "core/little_endian.h"
#include "engine/scan/extra_fields.h"

namespace zipsalvage {
namespace {

// Zip64 extended information (APPNOTE 4.5.3): the 8-byte values present are those whose
// 32-bit fields hold 0xFFFFFFFF, in the order uncompressed size, compressed size, offset.
void resolveZip64(const uint8_t* extra, size_t extraSize, uint32_t compressed32,
                  uint32_t uncompressed32, uint32_t offset32, CentralRecord& record) {
    size_t cursor = 0;
    ExtraField field{};
    while (nextExtraField(extra, extraSize, cursor, field)) {
        if (field.id != kExtraZip64) continue;
        size_t at = 0;
        auto take = [&](uint64_t& value) {
            if (field.size - at < kZip64ValueSize) return;
            value = loadLE64(field.data + at);
            at += kZip64ValueSize;
        };
        if (uncompressed32 == kZip64Marker32) take(record.uncompressedSize);
        if (compressed32 == kZip64Marker32) take(record.compressedSize);
        if (offset32 == kZip64Marker32) take(record.localHeaderOffset);
        return;
    }
}

bool recordBefore(const CentralRecord& left, const CentralRecord& right) {
    return left.localHeaderOffset < right.localHeaderOffset;
}

const CentralRecord* findAtOffset(const CentralDirectory& directory, uint64_t localHeaderOffset,
                                  const char* name, size_t nameLength) {
    CentralRecord probe;
    probe.localHeaderOffset = localHeaderOffset;
    auto match =
        std::lower_bound(directory.records.begin(), directory.records.end(), probe, recordBefore);
    for (; match != directory.records.end() && match->localHeaderOffset == localHeaderOffset;
         ++match) {
        if (match->name.size() == nameLength &&
            std::memcmp(match->name.data(), name, nameLength) == 0) {
            return &*match;
        }
    }
    return nullptr;
}

}  // namespace

size_t centralVariableSize(const uint8_t* fixed) {
    return size_t{loadLE16(fixed + kCentralNameLength)} + loadLE16(fixed + kCentralExtraLength) +
           loadLE16(fixed + kCentralCommentLength);
}

bool parseCentralRecord(const uint8_t* bytes, size_t size, CentralRecord& record) {
    if (size < kCentralHeaderSize || loadLE32(bytes) != kCentralHeaderSignature) return false;
    if (size != kCentralHeaderSize + centralVariableSize(bytes)) return false;
    size_t nameLength = loadLE16(bytes + kCentralNameLength);
    size_t extraLength = loadLE16(bytes + kCentralExtraLength);
    size_t commentLength = loadLE16(bytes + kCentralCommentLength);
    if (nameLength == 0) return false;
    record = CentralRecord{};
    record.versionMadeBy = loadLE16(bytes + kCentralVersionMadeBy);
    record.versionNeeded = loadLE16(bytes + kCentralVersionNeeded);
    record.flags = loadLE16(bytes + kCentralFlags);
    record.method = loadLE16(bytes + kCentralMethod);
    record.modTime = loadLE16(bytes + kCentralModTime);
    record.modDate = loadLE16(bytes + kCentralModDate);
    record.extraLength = static_cast<uint16_t>(extraLength);
    record.crc32 = loadLE32(bytes + kCentralCrc32);
    uint32_t compressed32 = loadLE32(bytes + kCentralCompressedSize);
    uint32_t uncompressed32 = loadLE32(bytes + kCentralUncompressedSize);
    uint32_t offset32 = loadLE32(bytes + kCentralLocalHeaderOffset);
    record.compressedSize = compressed32;
    record.uncompressedSize = uncompressed32;
    record.localHeaderOffset = offset32;
    record.diskNumberStart = loadLE16(bytes + kCentralDiskNumberStart);
    record.externalAttributes = loadLE32(bytes + kCentralExternalAttributes);
    const uint8_t* name = bytes + kCentralHeaderSize;
    record.name.assign(reinterpret_cast<const char*>(name), nameLength);
    resolveZip64(name + nameLength, extraLength, compressed32, uncompressed32, offset32, record);
    record.comment.assign(reinterpret_cast<const char*>(name + nameLength + extraLength),
                          commentLength);
    return true;
}

void placeRecordsOnDisks(CentralDirectory& directory, const ArchiveReader& reader,
                         const uint8_t* endFixed) {
    if (reader.parts.empty() || directory.placedOnDisks) return;
    uint16_t thisDisk = loadLE16(endFixed + kEndThisDisk);
    if (size_t{thisDisk} + 1 != reader.parts.size()) return;
    directory.placedOnDisks = true;
    for (CentralRecord& record : directory.records) {
        if (record.diskNumberStart >= reader.parts.size()) continue;
        record.localHeaderOffset += reader.parts[record.diskNumberStart].start;
    }
    directory.sorted = false;
}

size_t endRecordCommentSize(const uint8_t* fixed) { return loadLE16(fixed + kEndCommentLength); }

int64_t endRecordShift(const uint8_t* fixed, int64_t recordStart) {
    int64_t directoryStart = recordStart - int64_t{loadLE32(fixed + kEndDirectorySize)};
    int64_t shift = directoryStart - int64_t{loadLE32(fixed + kEndDirectoryOffset)};
    return shift > 0 ? shift : 0;
}

bool addCentralRecord(CentralDirectory& directory, CentralRecord&& record) {
    size_t text = record.name.size() + record.comment.size();
    if (directory.records.size() >= kMaxCentralRecords ||
        text > kMaxCentralTextBytes - directory.textBytes) {
        return false;
    }
    directory.textBytes += text;
    if (!directory.records.empty() &&
        record.localHeaderOffset < directory.records.back().localHeaderOffset) {
        directory.sorted = false;
    }
    directory.records.push_back(std::move(record));
    return true;
}

void sortCentralRecords(CentralDirectory& directory) {
    if (directory.sorted) return;
    std::stable_sort(directory.records.begin(), directory.records.end(), recordBefore);
    directory.sorted = true;
}

const CentralRecord* findCentralRecord(CentralDirectory& directory, uint64_t localHeaderOffset,
                                       const char* name, size_t nameLength) {
    sortCentralRecords(directory);
    const CentralRecord* found = findAtOffset(directory, localHeaderOffset, name, nameLength);
    auto shift = static_cast<uint64_t>(directory.offsetShift);
    if (found == nullptr && shift > 0 && localHeaderOffset >= shift)
        found = findAtOffset(directory, localHeaderOffset - shift, name, nameLength);
    return found;
}

}  // namespace zipsalvage
