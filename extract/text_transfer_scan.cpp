// The pass over a converted archive and the records read back through a default undo.
#include "extract/text_transfer_scan.h"

#include <algorithm>
#include <map>

#include "core/little_endian.h"
#include "core/zip_format.h"

namespace zipsalvage {
namespace {

// True when one of the eight bytes is an LF or below 7 (the last byte of a signature is 2, 4 or
// 6): the test "some byte is below n" of (x - n * 0x01..01) & ~x & 0x80..80 is exact for n up
// to 128, and an LF is a zero byte of x ^ 0x0A..0A.
inline bool mayMatter(uint64_t eight) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHighBits = 0x8080808080808080ull;
    uint64_t belowSeven = (eight - 7 * kOnes) & ~eight & kHighBits;
    uint64_t lineFeeds = eight ^ (kLineFeed * kOnes);
    uint64_t lineFeed = (lineFeeds - kOnes) & ~lineFeeds & kHighBits;
    return (belowSeven | lineFeed) != 0;
}

constexpr uint32_t kScanBlockBytes = 1u << 16;
constexpr size_t kLongestPlausibleName = 4096;
constexpr uint16_t kHighestMethod = 99;  // APPNOTE 4.4.5 lists none above (AES)

size_t changeIndex(LineEndChange change) { return static_cast<size_t>(change); }

size_t signatureIndex(const ArchiveScan& scan, uint64_t at) {
    auto found = std::lower_bound(
        scan.signatures.begin(), scan.signatures.end(), at,
        [](const FoundSignature& signature, uint64_t offset) { return signature.at < offset; });
    return static_cast<size_t>(found - scan.signatures.begin());
}

// The Zip64 extended information field (APPNOTE 4.5.3): the 64-bit values of those of
// `values` that hold 0xFFFFFFFF, in their order. False when the field or a value is missing.
bool resolveZip64(const uint8_t* extra, size_t extraSize, uint64_t* const* values, int count) {
    size_t at = 0;
    while (at + kExtraFieldHeaderSize <= extraSize) {
        uint16_t id = loadLE16(extra + at);
        size_t size = loadLE16(extra + at + kExtraFieldDataSize);
        if (at + kExtraFieldHeaderSize + size > extraSize) return false;
        if (id == kExtraZip64) {
            size_t field = at + kExtraFieldHeaderSize;
            size_t end = field + size;
            for (int index = 0; index < count; ++index) {
                if (*values[index] != kZip64Marker32) continue;
                if (field + kZip64ValueSize > end) return false;
                *values[index] = loadLE64(extra + field);
                field += kZip64ValueSize;
            }
            return true;
        }
        at += 4 + size;
    }
    return false;
}

bool needsZip64(uint64_t const* const* values, int count) {
    for (int index = 0; index < count; ++index) {
        if (*values[index] == kZip64Marker32) return true;
    }
    return false;
}

bool nameIsPlausible(const std::vector<uint8_t>& bytes, size_t from, size_t length) {
    if (length == 0 || length > kLongestPlausibleName) return false;
    for (size_t index = from; index < from + length; ++index) {
        if (bytes[index] == 0) return false;
    }
    return true;
}

bool readLocal(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
               LocalRecord& record) {
    UndoneRead fixed = readUndone(archive, change, at, kLocalHeaderSize);
    if (fixed.bytes.size() < kLocalHeaderSize ||
        loadLE32(fixed.bytes.data()) != kLocalHeaderSignature) {
        return false;
    }
    size_t nameLength = loadLE16(fixed.bytes.data() + kLocalNameLength);
    size_t extraLength = loadLE16(fixed.bytes.data() + kLocalExtraLength);
    size_t headerBytes = kLocalHeaderSize + nameLength + extraLength;
    UndoneRead header = readUndone(archive, change, at, headerBytes);
    const std::vector<uint8_t>& bytes = header.bytes;
    if (bytes.size() < headerBytes || !nameIsPlausible(bytes, kLocalHeaderSize, nameLength)) {
        return false;
    }
    record.at = at;
    record.flags = loadLE16(bytes.data() + kLocalFlags);
    record.method = loadLE16(bytes.data() + kLocalMethod);
    if (record.method > kHighestMethod) return false;
    record.crc32 = loadLE32(bytes.data() + kLocalCrc32);
    record.compressedSize = loadLE32(bytes.data() + kLocalCompressedSize);
    record.uncompressedSize = loadLE32(bytes.data() + kLocalUncompressedSize);
    record.headerBytes = headerBytes;
    record.dataAt = at + header.convertedUsed;
    record.name.assign(bytes.begin() + kLocalHeaderSize,
                       bytes.begin() + static_cast<long>(kLocalHeaderSize + nameLength));
    uint64_t* sizes[] = {&record.uncompressedSize, &record.compressedSize};
    bool resolved =
        !needsZip64(sizes, 2) ||
        resolveZip64(bytes.data() + kLocalHeaderSize + nameLength, extraLength, sizes, 2);
    record.sizesKnown = (record.flags & kFlagDataDescriptor) == 0 && resolved;
    return true;
}

bool readCentral(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
                 CentralRecordRead& record) {
    UndoneRead fixed = readUndone(archive, change, at, kCentralHeaderSize);
    if (fixed.bytes.size() < kCentralHeaderSize ||
        loadLE32(fixed.bytes.data()) != kCentralHeaderSignature) {
        return false;
    }
    size_t nameLength = loadLE16(fixed.bytes.data() + kCentralNameLength);
    size_t extraLength = loadLE16(fixed.bytes.data() + kCentralExtraLength);
    size_t commentLength = loadLE16(fixed.bytes.data() + kCentralCommentLength);
    size_t recordBytes = kCentralHeaderSize + nameLength + extraLength + commentLength;
    UndoneRead named = readUndone(archive, change, at, recordBytes);
    const std::vector<uint8_t>& bytes = named.bytes;
    if (bytes.size() < recordBytes || !nameIsPlausible(bytes, kCentralHeaderSize, nameLength)) {
        return false;
    }
    record.convertedLength = named.convertedUsed;
    record.at = at;
    record.flags = loadLE16(bytes.data() + kCentralFlags);
    record.method = loadLE16(bytes.data() + kCentralMethod);
    record.crc32 = loadLE32(bytes.data() + kCentralCrc32);
    record.compressedSize = loadLE32(bytes.data() + kCentralCompressedSize);
    record.uncompressedSize = loadLE32(bytes.data() + kCentralUncompressedSize);
    record.localHeaderOffset = loadLE32(bytes.data() + kCentralLocalHeaderOffset);
    record.name.assign(bytes.begin() + kCentralHeaderSize,
                       bytes.begin() + static_cast<long>(kCentralHeaderSize + nameLength));
    uint64_t* values[] = {&record.uncompressedSize, &record.compressedSize,
                          &record.localHeaderOffset};
    return !needsZip64(values, 3) ||
           resolveZip64(bytes.data() + kCentralHeaderSize + nameLength, extraLength, values, 3);
}

bool readEnd(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
             EndRecordRead& record) {
    UndoneRead fixed = readUndone(archive, change, at, kEndRecordSize);
    if (fixed.bytes.size() < kEndRecordSize ||
        loadLE32(fixed.bytes.data()) != kEndRecordSignature) {
        return false;
    }
    record.at = at;
    record.directoryEndAt = at;
    record.directorySize = loadLE32(fixed.bytes.data() + kEndDirectorySize);
    record.directoryOffset = loadLE32(fixed.bytes.data() + kEndDirectoryOffset);
    return true;
}

// The Zip64 end record's directory size and offset, for an end record that defers to it.
bool readZip64End(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
                  EndRecordRead& record) {
    UndoneRead fixed = readUndone(archive, change, at, kZip64EndRecordSize);
    if (fixed.bytes.size() < kZip64EndRecordSize ||
        loadLE32(fixed.bytes.data()) != kZip64EndRecordSignature) {
        return false;
    }
    record.at = at;
    record.directoryEndAt = at;
    record.directorySize = loadLE64(fixed.bytes.data() + kZip64EndDirectorySize);
    record.directoryOffset = loadLE64(fixed.bytes.data() + kZip64EndDirectoryOffset);
    return true;
}

}  // namespace

bool scanArchive(const ArchiveBytes& archive, ArchiveScan& scan, ScanExtent extent) {
    scan = ArchiveScan{};
    // The block is read behind the last three bytes of the one before, so that an LF sees the
    // two bytes before it and a signature's last byte the three before it without a check.
    constexpr uint32_t kCarry = 3;
    std::vector<uint8_t> buffer(kCarry + kScanBlockBytes, 0);
    // What each reading's default undo has taken out or put in so far, and its places.
    uint64_t everyRemoved = 0;
    uint64_t loneRemoved = 0;
    uint64_t lonePlaces = 0;
    uint64_t crLfAdded = 0;
    uint64_t crLfPlaces = 0;
    size_t kept[4] = {};
    for (uint64_t offset = 0; offset < archive.size;) {
        uint64_t left = archive.size - offset;
        auto want = static_cast<uint32_t>(left < kScanBlockBytes ? left : kScanBlockBytes);
        uint32_t got = archive.readAt(archive.owner, offset, buffer.data() + kCarry, want);
        if (got == 0) return false;
        const uint8_t* bytes = buffer.data() + kCarry;  // bytes[-3..-1] are the carry
        for (uint32_t index = 0; index < got; ++index) {
            // Most of compressed data holds neither: passed over eight bytes at a time.
            while (index + 8 <= got && !mayMatter(loadLE64(bytes + index))) index += 8;
            if (index >= got) break;
            uint8_t byte = bytes[index];
            // Only LFs and the last byte of a signature (2, 4 or 6) matter.
            if (byte > 6 && byte != kLineFeed) continue;
            uint64_t position = offset + index;
            const uint8_t* at = bytes + index;
            if (byte == kLineFeed) {
                ++scan.lineFeeds;
                if (position >= 1 && at[-1] == kCarriageReturn) {
                    ++scan.crLfPairs;
                    ++everyRemoved;
                    if (position < 2 || at[-2] != kCarriageReturn) {
                        ++loneRemoved;
                        ++lonePlaces;
                    }
                    ++crLfAdded;
                } else {
                    ++scan.loneLineFeeds;
                    ++crLfPlaces;
                }
                continue;
            }
            if (position < 3) continue;
            uint32_t word = loadLE32(at - 3);
            RecordKind kind = RecordKind::kLocal;
            if (word == kCentralHeaderSignature) {
                kind = RecordKind::kCentral;
            } else if (word == kEndRecordSignature) {
                kind = RecordKind::kEnd;
            } else if (word == kZip64EndRecordSignature) {
                kind = RecordKind::kZip64End;
            } else if (word != kLocalHeaderSignature) {
                continue;
            }
            auto kindIndex = static_cast<size_t>(kind);
            if (kept[kindIndex] >= kMaxSignatures) continue;
            ++kept[kindIndex];
            // The signature holds no LF: the counts stand as they were at its start.
            uint64_t start = position - 3;
            FoundSignature signature;
            signature.at = start;
            signature.kind = kind;
            signature.undoneAt[changeIndex(LineEndChange::kNone)] = start;
            signature.undoneAt[changeIndex(LineEndChange::kEveryLfToCrLf)] = start - everyRemoved;
            signature.undoneAt[changeIndex(LineEndChange::kLoneLfToCrLf)] = start - loneRemoved;
            signature.undoneAt[changeIndex(LineEndChange::kCrLfToLf)] = start + crLfAdded;
            signature.placesBefore[changeIndex(LineEndChange::kLoneLfToCrLf)] = lonePlaces;
            signature.placesBefore[changeIndex(LineEndChange::kCrLfToLf)] = crLfPlaces;
            signature.lineFeedsBefore = scan.lineFeeds;
            scan.signatures.push_back(signature);
        }
        // The last three bytes lead the next block.
        for (uint32_t index = 0; index < kCarry; ++index) buffer[index] = buffer[got + index];
        offset += got;
        if (extent == ScanExtent::kWhileConversionFits && scan.loneLineFeeds > 0 &&
            scan.crLfPairs > crLfLeftByChance(archive.size)) {
            scan.stoppedEarly = offset < archive.size;
            break;
        }
    }
    return true;
}

UndoneRead readUndone(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
                      size_t wanted) {
    UndoneRead read;
    LineEndUndo undo;
    undo.change = change;
    UndoCursor cursor;
    cursor.convertedOffset = at;
    uint8_t chunk[512];
    uint64_t offset = at;
    while (read.bytes.size() < wanted || cursor.holdingCr) {
        if (offset >= archive.size) break;
        uint64_t left = archive.size - offset;
        auto want = static_cast<uint32_t>(left < sizeof chunk ? left : sizeof chunk);
        uint32_t got = archive.readAt(archive.owner, offset, chunk, want);
        if (got == 0) break;
        size_t used = undoPrefix(undo, cursor, chunk, got, wanted, read.bytes);
        offset += used;
        read.convertedUsed += used;
    }
    if (read.bytes.size() > wanted) read.bytes.resize(wanted);
    return read;
}

// Whether the Zip64 end record at `zip64At` is the one of the end record at `endAt`: it and its
// locator (APPNOTE 4.3.14, 4.3.15) fill the space between them, as the reading undoes it. A
// Zip64 end signature elsewhere (inside a stored entry: programs and libraries that handle Zip
// files hold them) says nothing about this archive's directory.
static bool zip64EndBelongsTo(const ArchiveBytes& archive, LineEndChange change, uint64_t zip64At,
                              uint64_t endAt) {
    constexpr uint64_t kSlack = 8;  // ambiguous places the default undo may have read wrongly
    constexpr uint64_t kMaxRecordBytes = 1u << 16;
    UndoneRead head = readUndone(archive, change, zip64At, kZip64EndUncountedSize);
    if (head.bytes.size() < kZip64EndUncountedSize) return false;
    uint64_t recordBytes = loadLE64(head.bytes.data() + kZip64EndRecordLength);
    if (recordBytes > kMaxRecordBytes) return false;
    UndoneRead whole =
        readUndone(archive, change, zip64At,
                   static_cast<size_t>(kZip64EndUncountedSize + recordBytes + kZip64LocatorSize));
    uint64_t gap = endAt - zip64At;
    return whole.convertedUsed + kSlack >= gap && whole.convertedUsed <= gap + kSlack;
}

ReadRecords readRecords(const ArchiveBytes& archive, const ArchiveScan& scan,
                        LineEndChange change) {
    ReadRecords records;
    uint64_t zip64EndAt = UINT64_MAX;
    for (const FoundSignature& signature : scan.signatures) {
        if (signature.kind == RecordKind::kZip64End) zip64EndAt = signature.at;
        if (signature.kind != RecordKind::kEnd) continue;
        EndRecordRead end;
        if (!readEnd(archive, change, signature.at, end)) continue;
        bool deferred =
            end.directoryOffset == kZip64Marker32 || end.directorySize == kZip64Marker32;
        // A Zip64 end record follows the directory, whether the end record defers to it or not.
        EndRecordRead zip64;
        if (zip64EndAt < signature.at && readZip64End(archive, change, zip64EndAt, zip64) &&
            zip64EndBelongsTo(archive, change, zip64EndAt, signature.at)) {
            end.directoryEndAt = zip64.directoryEndAt;
            if (deferred) {
                end.directorySize = zip64.directorySize;
                end.directoryOffset = zip64.directoryOffset;
            }
        } else if (deferred) {
            continue;
        }
        records.end = end;
        records.haveEnd = true;
    }
    for (const FoundSignature& signature : scan.signatures) {
        if (signature.kind == RecordKind::kLocal) {
            LocalRecord local;
            if (readLocal(archive, change, signature.at, local)) records.locals.push_back(local);
        } else if (signature.kind == RecordKind::kCentral &&
                   (!records.haveEnd || signature.at < records.end.directoryEndAt)) {
            CentralRecordRead central;
            if (readCentral(archive, change, signature.at, central)) {
                records.centrals.push_back(central);
            }
        }
    }
    if (records.haveEnd) {
        // The directory's records end one where the next begins, the last where the end
        // record (or the Zip64 one) does.
        uint64_t nextAt = records.end.directoryEndAt;
        size_t first = records.centrals.size();
        while (first > 0 &&
               records.centrals[first - 1].at + records.centrals[first - 1].convertedLength ==
                   nextAt) {
            --first;
            nextAt = records.centrals[first].at;
        }
        records.centrals.erase(records.centrals.begin(),
                               records.centrals.begin() + static_cast<long>(first));
    }
    return records;
}

std::vector<int> matchCentralRecords(const ArchiveScan& scan, const ReadRecords& records,
                                     LineEndChange change) {
    std::vector<int> match(records.locals.size(), -1);
    std::map<std::string, std::vector<size_t>> localsByName;
    for (size_t index = 0; index < records.locals.size(); ++index) {
        localsByName[records.locals[index].name].push_back(index);
    }
    // The readings put a local header at or before its recorded offset, never far from it; the
    // nearest unmatched one of that name is taken.
    std::vector<uint64_t> undoneAt(records.locals.size());
    for (size_t local = 0; local < records.locals.size(); ++local) {
        undoneAt[local] = scan.signatures[signatureIndex(scan, records.locals[local].at)]
                              .undoneAt[changeIndex(change)];
    }
    for (size_t central = 0; central < records.centrals.size(); ++central) {
        const CentralRecordRead& record = records.centrals[central];
        auto named = localsByName.find(record.name);
        if (named == localsByName.end()) continue;
        int best = -1;
        uint64_t bestDistance = UINT64_MAX;
        for (size_t local : named->second) {
            if (match[local] >= 0) continue;
            uint64_t at = undoneAt[local];
            uint64_t distance = at > record.localHeaderOffset ? at - record.localHeaderOffset
                                                              : record.localHeaderOffset - at;
            if (distance < bestDistance) {
                bestDistance = distance;
                best = static_cast<int>(local);
            }
        }
        if (best >= 0) match[static_cast<size_t>(best)] = static_cast<int>(central);
    }
    return match;
}

std::vector<KnownSpan> knownSpans(const ArchiveScan& scan, const ReadRecords& records,
                                  LineEndChange change) {
    std::vector<KnownSpan> spans;
    if (!records.haveEnd) {
        for (size_t index = 0; index + 1 < records.locals.size(); ++index) {
            const LocalRecord& local = records.locals[index];
            if (!local.sizesKnown) continue;
            spans.push_back(KnownSpan{signatureIndex(scan, local.at),
                                      signatureIndex(scan, records.locals[index + 1].at),
                                      local.headerBytes + local.compressedSize});
        }
        return spans;
    }
    // Points whose original offsets the records give: signature index and offset.
    std::vector<std::pair<size_t, uint64_t>> anchors;
    std::vector<int> match = matchCentralRecords(scan, records, change);
    uint64_t lastLocalAt = 0;
    for (size_t local = 0; local < records.locals.size(); ++local) {
        if (records.locals[local].at >= records.end.at) continue;
        lastLocalAt = std::max(lastLocalAt, records.locals[local].at);
        if (match[local] < 0) continue;
        anchors.emplace_back(signatureIndex(scan, records.locals[local].at),
                             records.centrals[static_cast<size_t>(match[local])].localHeaderOffset);
    }
    // The directory's first record is where the directory starts.
    if (!records.centrals.empty() && records.centrals.front().at > lastLocalAt) {
        anchors.emplace_back(signatureIndex(scan, records.centrals.front().at),
                             records.end.directoryOffset);
    }
    anchors.emplace_back(signatureIndex(scan, records.end.directoryEndAt),
                         records.end.directoryOffset + records.end.directorySize);
    std::sort(anchors.begin(), anchors.end());
    for (size_t index = 0; index + 1 < anchors.size(); ++index) {
        const auto& [from, fromOffset] = anchors[index];
        const auto& [to, toOffset] = anchors[index + 1];
        if (to == from || toOffset < fromOffset) continue;
        spans.push_back(KnownSpan{from, to, toOffset - fromOffset});
    }
    return spans;
}

int64_t crsPutBackIn(const ArchiveScan& scan, const KnownSpan& span, LineEndChange change) {
    const FoundSignature& from = scan.signatures[span.from];
    const FoundSignature& to = scan.signatures[span.to];
    size_t reading = changeIndex(change);
    uint64_t undoneLength = to.undoneAt[reading] - from.undoneAt[reading];
    if (change == LineEndChange::kNone || change == LineEndChange::kEveryLfToCrLf) {
        return undoneLength == span.originalLength ? 0 : -1;
    }
    if (span.originalLength < undoneLength) return -1;
    uint64_t putBack = span.originalLength - undoneLength;
    uint64_t places = to.placesBefore[reading] - from.placesBefore[reading];
    return putBack <= places ? static_cast<int64_t>(putBack) : -1;
}

}  // namespace zipsalvage
