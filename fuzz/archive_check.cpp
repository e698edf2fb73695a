// checkSalvagedArchive: the output read back without any of the program's own code.
#include "fuzz/archive_check.h"

#include <zlib.h>

#include <cstring>

namespace zipsalvage::fuzz {
namespace {

constexpr size_t kLocalSize = 30;
constexpr size_t kCentralSize = 46;
constexpr size_t kEndSize = 22;
constexpr uint32_t kMaxNameBytes = 65535;  // the longest name a header can record
constexpr uint32_t kZip64Marker = 0xFFFFFFFF;

uint32_t get16(const uint8_t* at) { return at[0] | static_cast<uint32_t>(at[1]) << 8; }
uint32_t get32(const uint8_t* at) { return get16(at) | get16(at + 2) << 16; }

std::string entryProblem(const std::string& what, uint32_t index) {
    return what + " (entry " + std::to_string(index) + ")";
}

// An extra field list of whole fields, each of a kind the program carries over: extended
// timestamp, Unix UID/GID, NTFS times, WinZip AES; and the Zip64 field (APPNOTE 4.5.3), only
// in a header where `zip64Fields` 32-bit fields hold the marker, with 8 bytes for each of them.
bool carriedExtraList(const uint8_t* list, size_t size, uint32_t zip64Fields) {
    size_t at = 0;
    bool zip64Seen = false;
    while (at < size) {
        if (size - at < 4) return false;
        uint32_t id = get16(list + at);
        uint32_t length = get16(list + at + 2);
        if (length > size - at - 4) return false;
        if (id == 0x0001) {
            if (zip64Seen || zip64Fields == 0 || length != 8 * zip64Fields) return false;
            zip64Seen = true;
        }
        // Any other field is one the salvage kept as the writer wrote it (0x5455, 0x7875,
        // 0x000A, 0x9901, jar's 0xCAFE, vendors'): well-formed is all that is asked.
        at += 4 + length;
    }
    return zip64Seen == (zip64Fields != 0);
}

uint64_t get64(const uint8_t* at) { return get32(at) | static_cast<uint64_t>(get32(at + 4)) << 32; }

// The Zip64 field's data in a well-formed extra field list, or null.
const uint8_t* zip64FieldData(const uint8_t* list, size_t size) {
    for (size_t at = 0; at + 4 <= size; at += 4 + get16(list + at + 2)) {
        if (get16(list + at) == 0x0001) return list + at + 4;
    }
    return nullptr;
}

// How many of the 32-bit fields at `fields` (`count` of them) hold the Zip64 marker.
uint32_t markedFields(const uint8_t* fields, uint32_t count) {
    uint32_t marked = 0;
    for (uint32_t index = 0; index < count; ++index) {
        if (get32(fields + 4 * index) == kZip64Marker) ++marked;
    }
    return marked;
}

// The end record: the last 22 bytes, or earlier by the length of the comment that follows it.
size_t findEndRecord(const uint8_t* archive, size_t size) {
    for (size_t comment = 0; comment <= 0xFFFF && comment + kEndSize <= size; ++comment) {
        const uint8_t* end = archive + size - kEndSize - comment;
        if (get32(end) == 0x06054B50 && get16(end + 20) == comment)
            return size - kEndSize - comment;
    }
    return SIZE_MAX;
}

}  // namespace

uint32_t zlibCrc32(const uint8_t* data, size_t size) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (size > 0) {
        auto piece = static_cast<uInt>(size > (1u << 30) ? (1u << 30) : size);
        crc = crc32(crc, data, piece);
        data += piece;
        size -= piece;
    }
    return static_cast<uint32_t>(crc);
}

bool zlibInflate(const uint8_t* data, size_t size, std::vector<uint8_t>& output, size_t* consumed,
                 size_t outputLimit) {
    output.clear();
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    if (inflateInit2(&stream, -MAX_WBITS) != Z_OK) return false;
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    uint8_t piece[16384];
    int status = Z_OK;
    while (status == Z_OK && output.size() < outputLimit) {
        stream.next_out = piece;
        stream.avail_out = sizeof piece;
        status = inflate(&stream, Z_NO_FLUSH);
        output.insert(output.end(), piece, piece + (sizeof piece - stream.avail_out));
        if (status == Z_BUF_ERROR ||
            (status == Z_OK && stream.avail_in == 0 && stream.avail_out != 0)) {
            break;  // the data ran out inside the stream
        }
    }
    if (consumed != nullptr) *consumed = size - stream.avail_in;
    inflateEnd(&stream);
    return status == Z_STREAM_END;
}

std::vector<uint8_t> zlibDeflate(const uint8_t* data, size_t size, int level) {
    z_stream stream;
    std::memset(&stream, 0, sizeof stream);
    std::vector<uint8_t> output;
    if (deflateInit2(&stream, level, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return output;
    }
    output.resize(deflateBound(&stream, static_cast<uLong>(size)));
    stream.next_in = const_cast<Bytef*>(data);
    stream.avail_in = static_cast<uInt>(size);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

namespace {

// Where the walk over the central directory stands: records follow one another from offset 0.
struct DirectoryWalk {
    const uint8_t* archive;
    size_t endAt;
    uint32_t directoryStart;
    size_t central;
    size_t nextLocal = 0;
};

// What one entry's local header says, once it agrees with its central header.
struct LocalFacts {
    const uint8_t* local;
    uint32_t nameLength;
    uint32_t flags;
    uint32_t method;
    uint32_t crc;
    uint64_t compressedSize;
    uint64_t uncompressedSize;
    uint32_t localMarked;  // 2 when the local Zip64 field holds the sizes
    size_t dataAt;
};

// The central header at walk.central and the local header it points to; on success `facts`
// holds the local header's fields and `centralBytes` the central record's length.
std::string checkHeaders(const DirectoryWalk& walk, uint32_t index, LocalFacts& facts,
                         size_t& centralBytes) {
    const uint8_t* archive = walk.archive;
    const size_t central = walk.central;
    if (central + kCentralSize > walk.endAt) return entryProblem("central header cut", index);
    const uint8_t* header = archive + central;
    if (get32(header) != 0x02014B50) return entryProblem("central signature", index);
    uint32_t nameLength = get16(header + 28);
    if (nameLength == 0 || nameLength > kMaxNameBytes) return entryProblem("name length", index);
    uint32_t centralExtraLength = get16(header + 30);
    uint32_t commentLength = get16(header + 32);
    centralBytes = kCentralSize + nameLength + centralExtraLength + commentLength;
    if (central + centralBytes > walk.endAt) {
        return entryProblem("central name, extra field or comment cut", index);
    }
    // Sizes (offsets 20 and 24) and the local header's offset (42), in the Zip64 field's
    // order: uncompressed size, compressed size, offset.
    uint32_t centralMarked = markedFields(header + 20, 2) + markedFields(header + 42, 1);
    if (!carriedExtraList(header + kCentralSize + nameLength, centralExtraLength, centralMarked))
        return entryProblem("central extra field", index);
    uint32_t localAt = get32(header + 42);
    if (localAt != walk.nextLocal) return entryProblem("local record not where expected", index);
    if (localAt + kLocalSize + nameLength > walk.directoryStart) {
        return entryProblem("local header runs into the directory", index);
    }
    const uint8_t* local = archive + localAt;
    if (get32(local) != 0x04034B50) return entryProblem("local signature", index);
    // Local offsets 4..25 (version needed to sizes) are central offsets 6..27.
    if (std::memcmp(local + 4, header + 6, 22) != 0) {
        return entryProblem("local and central headers differ", index);
    }
    uint32_t localExtraLength = get16(local + 28);
    if (get16(local + 26) != nameLength ||
        localAt + kLocalSize + nameLength + localExtraLength > walk.directoryStart) {
        return entryProblem("local name or extra length", index);
    }
    // A local Zip64 field holds both sizes whenever either is marked (APPNOTE 4.5.3).
    uint32_t localMarked = markedFields(local + 18, 2) != 0 ? 2 : 0;
    if (!carriedExtraList(local + kLocalSize + nameLength, localExtraLength, localMarked))
        return entryProblem("local extra field", index);
    if (std::memcmp(local + kLocalSize, header + kCentralSize, nameLength) != 0) {
        return entryProblem("local and central names differ", index);
    }
    facts = LocalFacts{local,
                       nameLength,
                       get16(local + 6),
                       get16(local + 8),
                       get32(local + 14),
                       get32(local + 18),
                       get32(local + 22),
                       localMarked,
                       localAt + kLocalSize + nameLength + localExtraLength};
    if (localMarked != 0) {
        const uint8_t* sizes = zip64FieldData(local + kLocalSize + nameLength, localExtraLength);
        facts.uncompressedSize = get64(sizes);
        facts.compressedSize = get64(sizes + 8);
    }
    return {};
}

// The entry's flags, version and data, and the descriptor behind an encrypted copy; moves
// walk.nextLocal past them.
std::string checkEntryData(DirectoryWalk& walk, uint32_t index, const LocalFacts& facts,
                           std::vector<CheckedEntry>* entries) {
    const uint8_t* local = facts.local;
    const uint32_t flags = facts.flags;
    const uint32_t method = facts.method;
    const uint64_t compressedSize = facts.compressedSize;
    const uint64_t uncompressedSize = facts.uncompressedSize;
    // Stored and deflated data is written fresh: unencrypted, sizes in the header, only the
    // UTF-8 name flag (bit 11). Other methods are copied with their own flags, but never
    // with a data descriptor behind them (bit 3); an entry no password opened is copied
    // still encrypted (bit 0) with all of its flags, a signed descriptor behind it where
    // bit 3 is set.
    const bool keptEncrypted = (flags & 0x0001u) != 0;
    bool reencoded = (method == 0 || method == 8) && !keptEncrypted;
    if (reencoded ? get16(local + 4) != (facts.localMarked != 0 ? 45u : 20u)
                  : get16(local + 4) < 20)
        return entryProblem("version needed", index);
    if ((flags & (reencoded ? ~0x0800u : keptEncrypted ? 0u : 0x0008u)) != 0)
        return entryProblem("general purpose flags", index);
    if (facts.dataAt + compressedSize > walk.directoryStart) {
        return entryProblem("data runs into the directory", index);
    }
    const uint8_t* data = walk.archive + facts.dataAt;
    CheckedEntry entry;
    entry.name.assign(reinterpret_cast<const char*>(local + kLocalSize), facts.nameLength);
    entry.method = static_cast<uint16_t>(method);
    if (!reencoded) {
        entry.content.assign(data, data + compressedSize);  // copied as it was
    } else if (method == 0) {
        if (compressedSize != uncompressedSize) return entryProblem("stored sizes differ", index);
        entry.content.assign(data, data + compressedSize);
    } else {
        size_t consumed = 0;
        if (!zlibInflate(data, compressedSize, entry.content, &consumed,
                         size_t{uncompressedSize} + 1)) {
            return entryProblem("deflated data does not inflate", index);
        }
        if (consumed != compressedSize)
            return entryProblem("bytes after the deflate stream", index);
        if (entry.content.size() != uncompressedSize) {
            return entryProblem("inflated size differs from the recorded one", index);
        }
    }
    if (reencoded && zlibCrc32(entry.content.data(), entry.content.size()) != facts.crc) {
        return entryProblem("CRC-32 does not match the data", index);
    }
    if (entries != nullptr) entries->push_back(std::move(entry));
    walk.nextLocal = facts.dataAt + compressedSize;
    if (keptEncrypted && (flags & 0x0008u) != 0) {
        size_t descriptorLength = facts.localMarked != 0 ? 24 : 16;
        if (walk.nextLocal + descriptorLength > walk.directoryStart ||
            get32(walk.archive + walk.nextLocal) != 0x08074B50u ||
            get32(walk.archive + walk.nextLocal + 4) != facts.crc) {
            return entryProblem("no data descriptor behind an encrypted copy", index);
        }
        walk.nextLocal += descriptorLength;
    }
    return {};
}

}  // namespace

std::string checkSalvagedArchive(const uint8_t* archive, size_t size,
                                 std::vector<CheckedEntry>* entries) {
    if (entries != nullptr) entries->clear();
    if (size < kEndSize) return "shorter than an end record";
    size_t endAt = findEndRecord(archive, size);
    if (endAt == SIZE_MAX) return "no end record followed by exactly its comment";
    const uint8_t* end = archive + endAt;
    if (get16(end + 4) != 0 || get16(end + 6) != 0) return "disk numbers not 0";
    uint32_t count = get16(end + 8);
    if (get16(end + 10) != count) return "entry counts of the end record differ";
    uint32_t directorySize = get32(end + 12);
    uint32_t directoryStart = get32(end + 16);
    if (static_cast<uint64_t>(directoryStart) + directorySize != endAt) {
        return "central directory does not end where the end record starts";
    }

    DirectoryWalk walk{archive, endAt, directoryStart, directoryStart};
    for (uint32_t index = 0; index < count; ++index) {
        LocalFacts facts{};
        size_t centralBytes = 0;
        std::string problem = checkHeaders(walk, index, facts, centralBytes);
        if (problem.empty()) problem = checkEntryData(walk, index, facts, entries);
        if (!problem.empty()) return problem;
        walk.central += centralBytes;
    }
    if (walk.nextLocal != directoryStart) return "bytes between the last entry and the directory";
    if (walk.central != endAt) return "bytes after the last central header";
    return {};
}

}  // namespace zipsalvage::fuzz
