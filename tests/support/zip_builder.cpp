// The archive builder and the independent reader used to check Salvaged.zip.
#include "tests/support/zip_builder.h"

#include <utility>

#include "extract/cipher.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {
namespace {

// zlib's raw inflate (the outside oracle); true when the data ends with its last block.
bool inflateRaw(const Bytes& deflated, Bytes& content) {
    ZlibInflated inflated = zlibInflateRaw(deflated);
    content = std::move(inflated.content);
    return inflated.complete && inflated.consumed == deflated.size();
}

void put16(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}
void put32(Bytes& out, uint32_t value) {
    put16(out, value & 0xFFFF);
    put16(out, value >> 16);
}
uint32_t get16(const Bytes& in, size_t at) { return in[at] | (in[at + 1] << 8); }
uint32_t get32(const Bytes& in, size_t at) { return get16(in, at) | (get16(in, at + 2) << 16); }

uint32_t sizeOr(int64_t value, size_t fallback) {
    return static_cast<uint32_t>(value < 0 ? static_cast<int64_t>(fallback) : value);
}

}  // namespace

Bytes localRecord(const TestEntry& entry) {
    Bytes out{0x50, 0x4B, 0x03, 0x04};
    put16(out, 20);
    put16(out, entry.flags);
    put16(out, entry.method);
    put16(out, entry.modTime);
    put16(out, entry.modDate);
    put32(out, entry.crc32 < 0 ? crc32Of(entry.data) : static_cast<uint32_t>(entry.crc32));
    put32(out, sizeOr(entry.compressedSize, entry.data.size()));
    put32(out, sizeOr(entry.uncompressedSize, entry.data.size()));
    put16(out, static_cast<uint32_t>(entry.name.size()));
    put16(out, static_cast<uint32_t>(entry.extra.size()));
    out.insert(out.end(), entry.name.begin(), entry.name.end());
    out.insert(out.end(), entry.extra.begin(), entry.extra.end());
    out.insert(out.end(), entry.data.begin(), entry.data.end());
    return out;
}

Bytes encryptTraditional(const Bytes& data, const std::string& password, uint16_t checkWord) {
    Bytes plain = {0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xAA};
    put16(plain, checkWord);
    plain.insert(plain.end(), data.begin(), data.end());
    CipherKeys keys;
    initKeys(keys, password.c_str());
    Bytes encrypted;
    encrypted.reserve(plain.size());
    for (uint8_t byte : plain) {
        encrypted.push_back(static_cast<uint8_t>(byte ^ keystreamByte(keys)));
        updateKeys(keys, byte);
    }
    return encrypted;
}

Bytes buildArchive(const std::vector<TestEntry>& entries, const std::string& archiveComment) {
    Bytes out;
    Bytes directory;
    for (const TestEntry& entry : entries) {
        auto offset = static_cast<uint32_t>(out.size());
        Bytes record = localRecord(entry);
        out.insert(out.end(), record.begin(), record.end());
        Bytes central{0x50, 0x4B, 0x01, 0x02};
        put16(central, entry.versionMadeBy);
        central.insert(central.end(), record.begin() + 4, record.begin() + 30);
        put16(central, static_cast<uint32_t>(entry.comment.size()));
        put16(central, 0);  // disk
        put16(central, 0);  // internal attributes
        put32(central, entry.externalAttributes);
        put32(central, offset);
        central.insert(central.end(), entry.name.begin(), entry.name.end());
        central.insert(central.end(), entry.extra.begin(), entry.extra.end());
        central.insert(central.end(), entry.comment.begin(), entry.comment.end());
        directory.insert(directory.end(), central.begin(), central.end());
    }
    auto directoryOffset = static_cast<uint32_t>(out.size());
    out.insert(out.end(), directory.begin(), directory.end());
    Bytes end{0x50, 0x4B, 0x05, 0x06, 0, 0, 0, 0};
    put16(end, static_cast<uint32_t>(entries.size()));
    put16(end, static_cast<uint32_t>(entries.size()));
    put32(end, static_cast<uint32_t>(directory.size()));
    put32(end, directoryOffset);
    put16(end, static_cast<uint32_t>(archiveComment.size()));
    out.insert(out.end(), end.begin(), end.end());
    out.insert(out.end(), archiveComment.begin(), archiveComment.end());
    return out;
}

bool readArchive(const Bytes& archive, std::vector<ListedEntry>& entries, std::string& problem,
                 std::string* archiveComment) {
    entries.clear();
    if (archive.size() < 22) return problem = "shorter than an end record", false;
    // The end record is the last one whose comment reaches exactly to the archive's end.
    size_t end = archive.size() - 22;
    while (true) {
        if (get32(archive, end) == 0x06054B50 &&
            end + 22 + get16(archive, end + 20) == archive.size())
            break;
        if (end == 0 || archive.size() - end > 22 + 65535)
            return problem = "no end record at the end", false;
        --end;
    }
    if (archiveComment != nullptr)
        archiveComment->assign(archive.begin() + static_cast<long>(end + 22), archive.end());
    uint32_t count = get16(archive, end + 10);
    uint32_t directorySize = get32(archive, end + 12);
    uint32_t at = get32(archive, end + 16);
    if (static_cast<uint64_t>(at) + directorySize != end)
        return problem = "directory size/offset", false;
    for (uint32_t index = 0; index < count; ++index) {
        if (at + 46 > end || get32(archive, at) != 0x02014B50)
            return problem = "central header", false;
        ListedEntry entry;
        entry.versionMadeBy = static_cast<uint16_t>(get16(archive, at + 4));
        entry.flags = static_cast<uint16_t>(get16(archive, at + 8));
        entry.method = static_cast<uint16_t>(get16(archive, at + 10));
        entry.modTime = static_cast<uint16_t>(get16(archive, at + 12));
        entry.modDate = static_cast<uint16_t>(get16(archive, at + 14));
        entry.crc32 = get32(archive, at + 16);
        entry.compressedSize = get32(archive, at + 20);
        entry.uncompressedSize = get32(archive, at + 24);
        uint32_t nameLength = get16(archive, at + 28);
        entry.extraLength =
            static_cast<uint16_t>(get16(archive, at + 30) + get16(archive, at + 32));
        entry.externalAttributes = get32(archive, at + 38);
        uint32_t local = get32(archive, at + 42);
        size_t centralAt = at;
        entry.name.assign(archive.begin() + at + 46, archive.begin() + at + 46 + nameLength);
        auto extraAt = archive.begin() + at + 46 + nameLength;
        uint32_t centralExtraLength = get16(archive, at + 30);
        entry.centralExtra.assign(extraAt, extraAt + centralExtraLength);
        entry.comment.assign(extraAt + centralExtraLength, extraAt + entry.extraLength);
        at += 46 + nameLength + entry.extraLength;
        if (local + 30 > archive.size() || get32(archive, local) != 0x04034B50) {
            return problem = "local header of " + entry.name, false;
        }
        // Version needed, flags, method, time, date, CRC-32 and sizes agree (APPNOTE 4.3.7
        // against 4.3.12): local offsets 4..25 are central offsets 6..27.
        for (size_t field = 4; field < 26; ++field) {
            if (archive[local + field] != archive[centralAt + field + 2]) {
                return problem = "local and central headers differ for " + entry.name, false;
            }
        }
        size_t localExtraAt = local + 30 + get16(archive, local + 26);
        size_t dataAt = localExtraAt + get16(archive, local + 28);
        if (dataAt > archive.size()) return problem = "local extra field beyond the end", false;
        entry.localExtra.assign(archive.begin() + static_cast<long>(localExtraAt),
                                archive.begin() + static_cast<long>(dataAt));
        if (dataAt + entry.compressedSize > archive.size())
            return problem = "data beyond the end", false;
        entry.data.assign(archive.begin() + static_cast<long>(dataAt),
                          archive.begin() + static_cast<long>(dataAt + entry.compressedSize));
        entry.localOffset = local;
        entry.localRecord.assign(
            archive.begin() + local,
            archive.begin() + static_cast<long>(dataAt + entry.compressedSize));
        if (entry.method == 8 && (entry.flags & 1) == 0) {
            if (!inflateRaw(entry.data, entry.content))
                return problem = "deflate data of " + entry.name, false;
        } else {
            entry.content = entry.data;
        }
        // Encrypted data (flag bit 0) is listed as it lies, unchecked.
        if ((entry.flags & 1) == 0 && (entry.method == 0 || entry.method == 8) &&
            crc32Of(entry.content) != entry.crc32)
            return problem = "CRC-32 of " + entry.name, false;
        entries.push_back(std::move(entry));
    }
    return true;
}

}  // namespace zipsalvage::testing
