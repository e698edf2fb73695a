// Central directory reading for the legacy tests.
#include "tests/legacy/zip_listing.h"

#include <algorithm>
#include <filesystem>

#include "core/little_endian.h"

namespace zipsalvage::testing {

std::vector<DirectoryEntry> listZip(const Bytes& archive) {
    constexpr size_t kEndRecordBytes = 22;
    std::vector<DirectoryEntry> entries;
    if (archive.size() < kEndRecordBytes) return entries;
    size_t end = archive.size() - kEndRecordBytes;
    while (loadLE32(&archive[end]) != 0x06054B50u) {
        if (end == 0) return entries;
        --end;
    }
    uint16_t count = loadLE16(&archive[end + 10]);
    size_t at = loadLE32(&archive[end + 16]);
    for (uint16_t index = 0; index < count; ++index) {
        if (at + 46 > archive.size() || loadLE32(&archive[at]) != 0x02014B50u) return {};
        const uint8_t* header = &archive[at];
        DirectoryEntry entry;
        entry.flags = loadLE16(header + 8);
        entry.method = loadLE16(header + 10);
        entry.crc = loadLE32(header + 16);
        entry.compressedSize = loadLE32(header + 20);
        entry.uncompressedSize = loadLE32(header + 24);
        size_t nameBytes = loadLE16(header + 28);
        size_t extraBytes = loadLE16(header + 30);
        size_t commentBytes = loadLE16(header + 32);
        entry.localHeaderOffset = loadLE32(header + 42);
        if (at + 46 + nameBytes > archive.size()) return {};
        entry.name.assign(reinterpret_cast<const char*>(header + 46), nameBytes);
        size_t local = entry.localHeaderOffset;
        if (local + 30 > archive.size()) return {};
        entry.dataOffset =
            local + 30 + loadLE16(&archive[local + 26]) + loadLE16(&archive[local + 28]);
        entries.push_back(entry);
        at += 46 + nameBytes + extraBytes + commentBytes;
    }
    return entries;
}

std::vector<std::string> legacyArchivePaths() {
    std::vector<std::string> paths;
    std::string root = sharedTestdataDir();
    if (root.empty() || !pathExists(root + "/legacy")) return paths;
    for (const auto& item : std::filesystem::directory_iterator(root + "/legacy")) {
        if (item.path().extension() == ".zip") paths.push_back(item.path().string());
    }
    std::sort(paths.begin(), paths.end());
    return paths;
}

uint32_t longestCopy(uint16_t method) {
    if (method == 1) return 8192;                // one LZW string
    if (method >= 2 && method <= 5) return 385;  // factor 1's longest copy
    if (method == 6) return 63 + 255 + 3;        // length symbol 63 with the literal tree
    return 0;
}

}  // namespace zipsalvage::testing
