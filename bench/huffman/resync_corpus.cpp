// The resync benchmark's corpus: data gathered from the machine or made from a fixed seed, and
// deflated by zlib or by an outside zip writer whose stream is read out of the archive it made.
#include "bench/huffman/resync_corpus.h"

#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>

namespace zipsalvage::bench {
namespace {

namespace fs = std::filesystem;

Bytes readFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Files under `root` whose names end in one of `suffixes`, joined up to `quota` bytes.
Bytes gather(const std::vector<std::string>& roots, const std::vector<std::string>& suffixes,
             size_t quota) {
    Bytes joined;
    for (const std::string& root : roots) {
        std::error_code error;
        if (!fs::exists(root, error)) continue;
        std::vector<fs::path> paths;
        for (auto it = fs::recursive_directory_iterator(root, error);
             it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (error) break;
            // Build folders change from run to run (and from worktree to worktree): the corpus
            // must not.
            const std::string leaf = it->path().filename().string();
            if (it->is_directory(error) && (leaf == "build" || leaf == ".git")) {
                it.disable_recursion_pending();
                continue;
            }
            if (!it->is_regular_file(error)) continue;
            std::string name = it->path().string();
            for (const std::string& suffix : suffixes) {
                if (name.size() >= suffix.size() &&
                    name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
                    paths.push_back(it->path());
                }
            }
        }
        std::sort(paths.begin(), paths.end());
        for (const fs::path& path : paths) {
            Bytes bytes = readFileBytes(path);
            joined.insert(joined.end(), bytes.begin(), bytes.end());
            if (joined.size() >= quota) break;
        }
        if (joined.size() >= quota) break;
    }
    if (joined.size() > quota) joined.resize(quota);
    return joined;
}

Bytes makeLog(size_t size, std::mt19937& random) {
    static const char* levels[] = {"INFO", "DEBUG", "WARN", "ERROR"};
    static const char* words[] = {"connection", "accepted", "from",    "request",
                                  "served",     "cache",    "miss",    "user",
                                  "session",    "closed",   "timeout", "retrying"};
    std::string text;
    uint64_t clock = 1700000000;
    while (text.size() < size) {
        clock += random() % 3;
        char line[256];
        int length = std::snprintf(line, sizeof line, "2026-12-09T%02u:%02u:%02u.%03u [%s] pid=%u ",
                                   unsigned(clock / 3600 % 24), unsigned(clock / 60 % 60),
                                   unsigned(clock % 60), unsigned(random() % 1000),
                                   levels[random() % 4], unsigned(1000 + random() % 50));
        text.append(line, static_cast<size_t>(length));
        for (auto count = 3 + random() % 6; count > 0; --count) {
            text += words[random() % 12];
            text += ' ';
        }
        text += "id=" + std::to_string(random() % 100000) + "\n";
    }
    text.resize(size);
    return Bytes(text.begin(), text.end());
}

Bytes makeCsv(size_t size, std::mt19937& random) {
    std::string text = "id,name,city,amount,quantity,date\n";
    static const char* names[] = {"Alice", "Bob", "Carol", "Dave", "Eve", "Mallory", "Trent"};
    static const char* cities[] = {"Oslo", "Lima", "Pune", "Kyiv", "Accra", "Perth", "Quito"};
    for (unsigned row = 1; text.size() < size; ++row) {
        char line[160];
        int length = std::snprintf(
            line, sizeof line, "%u,%s,%s,%u.%02u,%u,2026-%02u-%02u\n", row, names[random() % 7],
            cities[random() % 7], unsigned(random() % 10000), unsigned(random() % 100),
            unsigned(random() % 40), unsigned(1 + random() % 12), unsigned(1 + random() % 28));
        text.append(line, static_cast<size_t>(length));
    }
    text.resize(size);
    return Bytes(text.begin(), text.end());
}

Bytes makeRecords(size_t size, std::mt19937& random) {
    Bytes bytes;
    uint32_t counter = 0;
    while (bytes.size() < size) {
        struct {
            uint32_t id;
            uint16_t kind;
            uint16_t flags;
            float value;
            uint32_t stamp;
        } record{counter, static_cast<uint16_t>(random() % 5),
                 static_cast<uint16_t>(random() & 0x11), static_cast<float>(random() % 1000) / 8.0f,
                 1700000000u + counter * 7};
        ++counter;
        const auto* raw = reinterpret_cast<const uint8_t*>(&record);
        bytes.insert(bytes.end(), raw, raw + sizeof record);
    }
    bytes.resize(size);
    return bytes;
}

Bytes deflateRaw(const Bytes& input, int level) {
    z_stream stream{};
    deflateInit2(&stream, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&stream, input.size()) + 64);
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

uint32_t le16(const Bytes& bytes, size_t at) {
    return static_cast<uint32_t>(bytes[at] | bytes[at + 1] << 8);
}

uint32_t le32(const Bytes& bytes, size_t at) { return le16(bytes, at) | le16(bytes, at + 2) << 16; }

// The first entry's compressed data in a one-entry archive, from its central directory record
// (APPNOTE 4.3.12, 4.3.16) and local header (4.3.7); empty unless it is deflated.
Bytes firstDeflatedEntry(const Bytes& archive) {
    constexpr uint32_t kEndSignature = 0x06054b50;
    constexpr uint32_t kCentralSignature = 0x02014b50;
    constexpr uint32_t kLocalSignature = 0x04034b50;
    if (archive.size() < 22) return {};
    size_t end = archive.size() - 22;
    while (end > 0 && le32(archive, end) != kEndSignature) --end;
    if (le32(archive, end) != kEndSignature) return {};
    const size_t central = le32(archive, end + 16);
    if (central + 46 > archive.size() || le32(archive, central) != kCentralSignature) return {};
    if (le16(archive, central + 10) != 8) return {};
    const size_t compressed = le32(archive, central + 20);
    const size_t local = le32(archive, central + 42);
    if (local + 30 > archive.size() || le32(archive, local) != kLocalSignature) return {};
    const size_t data = local + 30 + le16(archive, local + 26) + le16(archive, local + 28);
    if (data + compressed > archive.size()) return {};
    return Bytes(archive.begin() + static_cast<std::ptrdiff_t>(data),
                 archive.begin() + static_cast<std::ptrdiff_t>(data + compressed));
}

bool programExists(const char* name) {
    const std::string probe = std::string("command -v ") + name + " >/dev/null 2>&1";
    return std::system(probe.c_str()) == 0;
}

}  // namespace

std::vector<Kind> gatherKinds(const std::vector<std::string>& textRoots,
                              const std::string& sourceDir, std::mt19937& random) {
    std::vector<Kind> kinds;
    kinds.push_back(
        {"text",
         gather(textRoots, {"GPL-3", "Apache-2.0", "LGPL-2.1", "README", "copyright", ".txt"},
                512 * 1024)});
    kinds.push_back({"code", gather({sourceDir}, {".cpp", ".h"}, 512 * 1024)});
    kinds.push_back({"log", makeLog(512 * 1024, random)});
    kinds.push_back({"csv", makeCsv(512 * 1024, random)});
    kinds.push_back({"records", makeRecords(512 * 1024, random)});
    return kinds;
}

std::vector<Writer> availableWriters() {
    std::vector<Writer> writers = {
        {"zlib-1", 1, nullptr}, {"zlib-6", 6, nullptr}, {"zlib-9", 9, nullptr}};
    if (programExists("zip")) {
        writers.push_back({"zip-6", 0, "zip -6 -q -X out.zip data.bin"});
    } else {
        std::printf("zip is not installed: no entries written by zip -6\n");
    }
    if (programExists("7z")) {
        writers.push_back({"7z-9", 0, "7z a -tzip -mm=Deflate -mx=9 out.zip data.bin >/dev/null"});
    } else {
        std::printf("7z is not installed: no entries written by 7z -mm=Deflate -mx=9\n");
    }
    return writers;
}

Bytes deflateWith(const Writer& writer, const Bytes& input, const std::string& scratch) {
    if (writer.command == nullptr) return deflateRaw(input, writer.zlibLevel);
    const fs::path folder(scratch);
    std::error_code error;
    fs::remove(folder / "out.zip", error);
    {
        std::ofstream out(folder / "data.bin", std::ios::binary);
        out.write(reinterpret_cast<const char*>(input.data()),
                  static_cast<std::streamsize>(input.size()));
    }
    const std::string command = "cd '" + scratch + "' && " + writer.command;
    if (std::system(command.c_str()) != 0) return {};
    return firstDeflatedEntry(readFileBytes(folder / "out.zip"));
}

}  // namespace zipsalvage::bench
