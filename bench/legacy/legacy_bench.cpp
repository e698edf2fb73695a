// Throughput of unshrink, unreduce and explode on the largest entries of real archives, next to
// zlib's inflate on the same content re-compressed with zlib, measured in the same run.
//
// usage: legacy_bench [ARCHIVE.zip]...   (default: every archive in the shared legacy folder)
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "core/little_endian.h"
#include "extract/huffman_decoders.h"
#include "extract/methods.h"

namespace zipsalvage {
namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

constexpr double kMinSecondsPerMeasure = 0.15;
// Ours and zlib are measured in alternation and the best of each kept, so that load from other
// processes on a shared machine changes both alike.
constexpr int kAlternations = 5;
constexpr size_t kEntriesPerMethod = 2;

struct Entry {
    std::string label;
    const Bytes* archive;
    uint16_t flags, method;
    uint32_t crc, compressedSize, uncompressedSize;
    size_t dataOffset;
};

Bytes readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// The entries of methods 1 to 6 named by the central directory (APPNOTE 4.3.12).
void listLegacyEntries(const std::string& path, const Bytes& archive, std::vector<Entry>& out) {
    if (archive.size() < 22) return;
    size_t end = archive.size() - 22;
    while (loadLE32(&archive[end]) != 0x06054B50u) {
        if (end-- == 0) return;
    }
    size_t at = loadLE32(&archive[end + 16]);
    for (uint16_t index = 0, count = loadLE16(&archive[end + 10]); index < count; ++index) {
        if (at + 46 > archive.size()) return;
        const uint8_t* header = &archive[at];
        size_t nameBytes = loadLE16(header + 28);
        size_t local = loadLE32(header + 42);
        if (local + 30 > archive.size()) return;
        Entry entry{std::filesystem::path(path).filename().string() + ":" +
                        std::string(reinterpret_cast<const char*>(header + 46), nameBytes),
                    &archive,
                    loadLE16(header + 8),
                    loadLE16(header + 10),
                    loadLE32(header + 16),
                    loadLE32(header + 20),
                    loadLE32(header + 24),
                    local + 30 + loadLE16(&archive[local + 26]) + loadLE16(&archive[local + 28])};
        if (entry.method >= 1 && entry.method <= 6) out.push_back(entry);
        at += 46 + nameBytes + loadLE16(header + 30) + loadLE16(header + 32);
    }
}

struct MemoryInput {
    const uint8_t* bytes;
    size_t size;
    size_t offset;
};

bool readMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& input = *static_cast<MemoryInput*>(owner);
    if (input.offset + static_cast<size_t>(count) > input.size) return false;
    std::memcpy(destination, input.bytes + input.offset, static_cast<size_t>(count));
    input.offset += static_cast<size_t>(count);
    return true;
}

// One decode of the entry; output goes to `output` when given, else nowhere.
int decodeEntry(const Entry& entry, FileHandle output) {
    MemoryInput input{entry.archive->data() + entry.dataOffset,
                      entry.archive->size() - entry.dataOffset, 0};
    RunFlags flags;
    ExtractContext context;
    initExtractContext(context, output, entry.compressedSize, entry.uncompressedSize, false, "",
                       nullptr, EntryByteSource{&input, readMemory, nullptr}, flags);
    context.outputEnabled = output != kInvalidFile;
    if (entry.method == 1) return ranToEnd(unshrink(context)) ? 1 : 0;
    if (entry.method == 6) return ranToEnd(explode(context, entry.flags)) ? 1 : 0;
    return ranToEnd(unreduce(context, entry.method - 1)) ? 1 : 0;
}

// Decodes once into a file, to check the content and hand it to zlib.
bool decodeContent(const Entry& entry, Bytes& content) {
    std::string path = (std::filesystem::temp_directory_path() / "legacy_bench.out").string();
    FileHandle output = createReadWrite(path.c_str());
    if (output == kInvalidFile) return false;
    int result = decodeEntry(entry, output);
    closeFile(output);
    content = readFile(path);
    deleteFile(path.c_str());
    uint32_t crc = crc32Update(0xFFFFFFFFu, content.data(), content.size()) ^ 0xFFFFFFFFu;
    return result == 1 && content.size() == entry.uncompressedSize && crc == entry.crc;
}

// Output megabytes per second of `run`, repeated until the measure is long enough.
template <typename Run>
double megabytesPerSecond(size_t outputBytes, Run run) {
    int rounds = 0;
    auto start = Clock::now();
    double seconds = 0;
    do {
        run();
        ++rounds;
        seconds = std::chrono::duration<double>(Clock::now() - start).count();
    } while (seconds < kMinSecondsPerMeasure);
    return static_cast<double>(outputBytes) * rounds / seconds / 1e6;
}

const char* methodName(uint16_t method) {
    if (method == 1) return "unshrink";
    if (method == 6) return "explode";
    return "unreduce";
}

}  // namespace
}  // namespace zipsalvage

int main(int argumentCount, char** arguments) {
    using namespace zipsalvage;
    std::vector<std::string> paths(arguments + 1, arguments + argumentCount);
    if (paths.empty()) {
        std::string folder = std::string(ZIPSALVAGE_SOURCE_DIR) + "/../shared/testdata/legacy";
        if (const char* override = std::getenv("ZIPSALVAGE_TESTDATA")) {
            folder = std::string(override) + "/legacy";
        }
        if (!std::filesystem::is_directory(folder)) {
            std::printf("no archives given and no folder %s\n", folder.c_str());
            return 2;
        }
        for (const auto& item : std::filesystem::directory_iterator(folder)) {
            if (item.path().extension() == ".zip") paths.push_back(item.path().string());
        }
        std::sort(paths.begin(), paths.end());
    }

    std::vector<Bytes> archives;
    archives.reserve(paths.size());
    std::vector<Entry> entries;
    for (const std::string& path : paths) {
        archives.push_back(readFile(path));
        listLegacyEntries(path, archives.back(), entries);
    }
    // The largest entries of each decoder.
    std::stable_sort(entries.begin(), entries.end(), [](const Entry& left, const Entry& right) {
        return left.uncompressedSize > right.uncompressedSize;
    });
    std::vector<Entry> chosen;
    for (const char* name : {"unshrink", "unreduce", "explode"}) {
        size_t taken = 0;
        for (const Entry& entry : entries) {
            if (taken < kEntriesPerMethod && std::strcmp(methodName(entry.method), name) == 0) {
                chosen.push_back(entry);
                ++taken;
            }
        }
    }

    std::printf("%-28s %-9s %9s %9s %10s %10s %7s\n", "entry", "decoder", "size", "packed",
                "ours MB/s", "zlib MB/s", "ratio");
    int failures = 0;
    for (const Entry& entry : chosen) {
        Bytes content;
        if (!decodeContent(entry, content)) {
            std::printf("%-28s %-9s does not decode to its recorded size and CRC-32\n",
                        entry.label.c_str(), methodName(entry.method));
            ++failures;
            continue;
        }
        uLongf packedSize = compressBound(static_cast<uLong>(content.size()));
        Bytes packed(packedSize);
        compress2(packed.data(), &packedSize, content.data(), static_cast<uLong>(content.size()),
                  6);
        Bytes unpacked(content.size());
        double ours = 0;
        double zlib = 0;
        for (int round = 0; round < kAlternations; ++round) {
            ours = std::max(ours, megabytesPerSecond(content.size(),
                                                     [&] { decodeEntry(entry, kInvalidFile); }));
            zlib =
                std::max(zlib, megabytesPerSecond(content.size(), [&] {
                             uLongf unpackedSize = static_cast<uLongf>(unpacked.size());
                             uncompress(unpacked.data(), &unpackedSize, packed.data(), packedSize);
                         }));
        }
        std::printf("%-28s %-9s %9u %9u %10.1f %10.1f %7.2f\n", entry.label.c_str(),
                    methodName(entry.method), entry.uncompressedSize, entry.compressedSize, ours,
                    zlib, ours / zlib);
    }
    return failures == 0 ? 0 : 1;
}
