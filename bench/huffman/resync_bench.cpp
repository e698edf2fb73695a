// Recovery behind damage in deflated entries: how much of what follows a damaged span comes
// back right at its offsets, and whether any byte is handed back wrong.
//
// Corpus: text, source code, logs, CSV and binary records of 64 to 512 KiB (text and code from
// the machine and this repository, the others made here with a fixed seed), each deflated raw
// by zlib at levels 1, 6 and 9. Each stream is damaged once, at 20%, 50% and 80% of its
// compressed bytes: zero fill and random fill of 16, 128, 1024 and 4096 bytes, and one flipped
// bit. Every damaged stream runs through the program's deflate path (inflate, then the search
// behind damage) with the recorded size; zlib's inflate of the same stream is the reference.
//
// R: of the bytes after the first output byte the damage touches, the share that come back
// right at their offsets (unknown bytes count as not right). Wrong: bytes written, not listed
// as unknown, and different from the original.
//
//   build/release/bench/huffman/resync_bench [--only "LABEL PART"] [more text folders...]
// where a label reads like "text 524288 level 6, zero 4096 at 20%".
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "extract/extract_context.h"
#include "extract/inflate_resync.h"

namespace {

using Bytes = std::vector<uint8_t>;
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

// What zlib decodes from the first `inputBytes` bytes, or from the whole stream before it fails.
Bytes zlibInflate(const Bytes& stream, size_t inputBytes, size_t outputCap) {
    z_stream state{};
    inflateInit2(&state, -15);
    Bytes output(outputCap);
    state.next_in = const_cast<Bytef*>(stream.data());
    state.avail_in = static_cast<uInt>(std::min(inputBytes, stream.size()));
    state.next_out = output.data();
    state.avail_out = static_cast<uInt>(output.size());
    inflate(&state, Z_SYNC_FLUSH);
    output.resize(state.total_out);
    inflateEnd(&state);
    return output;
}

struct MemoryInput {
    const Bytes* bytes;
    size_t offset = 0;
};

int32_t readUpTo(void* owner, uint8_t* destination, int32_t count) {
    auto& input = *static_cast<MemoryInput*>(owner);
    size_t left = input.bytes->size() - input.offset;
    auto take = static_cast<size_t>(count) < left ? static_cast<size_t>(count) : left;
    std::memcpy(destination, input.bytes->data() + input.offset, take);
    input.offset += take;
    return static_cast<int32_t>(take);
}

uint32_t writeMemory(void* owner, int64_t position, const uint8_t* bytes, uint32_t count) {
    auto& output = *static_cast<Bytes*>(owner);
    auto end = static_cast<size_t>(position) + count;
    if (output.size() < end) output.resize(end);
    std::memcpy(output.data() + position, bytes, count);
    return count;
}

bool truncateMemory(void* owner, uint64_t size) {
    auto& output = *static_cast<Bytes*>(owner);
    if (output.size() > size) output.resize(static_cast<size_t>(size));
    return true;
}

uint32_t crcOf(const Bytes& bytes) {
    return static_cast<uint32_t>(crc32(0, bytes.data(), static_cast<uInt>(bytes.size())));
}

// The program's deflate path over one entry, as the salvage runs it: decoded once, and again
// as known damaged when the bytes have the recorded size but not the CRC-32.
Bytes salvageEntry(const Bytes& stream, uint64_t recordedSize, uint32_t recordedCrc,
                   zipsalvage::UnknownRanges& unknown, bool& repaired) {
    Bytes output;
    for (int pass = 0; pass < 2; ++pass) {
        MemoryInput input{&stream};
        zipsalvage::EntryByteSource source{&input, nullptr, readUpTo};
        zipsalvage::RunFlags flags{};
        zipsalvage::EntryOutput sink{&output, writeMemory, truncateMemory};
        zipsalvage::ExtractContext context;
        zipsalvage::initExtractContext(context, sink, stream.size(), recordedSize, 0, "", nullptr,
                                       source, flags);
        zipsalvage::DataRepair repair;
        unknown.ranges.clear();
        context.unknown = &unknown;
        context.recordedCrc = recordedCrc;
        context.crcKnown = 1;
        context.knownDamaged = pass;
        context.repair = &repair;
        zipsalvage::DecodeResult result = zipsalvage::inflateWithResync(context, false);
        repaired = repair.made;
        if (!zipsalvage::ranToEnd(result) || output.size() != recordedSize ||
            crcOf(output) == recordedCrc) {
            break;
        }
    }
    return output;
}

struct Score {
    double rSum = 0;
    uint64_t cases = 0;
    uint64_t wrongBytes = 0;
    uint64_t casesWithWrong = 0;
    uint64_t whole = 0;   // came back exactly (a repaired flip, or damage that changed nothing)
    uint64_t placed = 0;  // came back at the recorded size with holes listed
};

// R and wrong bytes of `output` against `original`, from `first` on; `unknown` may be null.
void score(const Bytes& original, const Bytes& output, const zipsalvage::UnknownRanges* unknown,
           size_t first, Score& into) {
    std::vector<uint8_t> marked(output.size(), 0);
    if (unknown != nullptr) {
        for (const auto& range : unknown->ranges) {
            for (uint64_t at = range.start; at < range.end && at < marked.size(); ++at)
                marked[at] = 1;
        }
    }
    uint64_t right = 0;
    uint64_t wrong = 0;
    for (size_t at = 0; at < output.size(); ++at) {
        bool good = at < original.size() && output[at] == original[at];
        if (marked[at]) continue;
        if (!good) ++wrong;
        if (good && at >= first) ++right;
    }
    const size_t after = original.size() > first ? original.size() - first : 0;
    into.rSum += after == 0 ? 1.0 : static_cast<double>(right) / static_cast<double>(after);
    ++into.cases;
    into.wrongBytes += wrong;
    if (wrong > 0) ++into.casesWithWrong;
    if (output == original && (unknown == nullptr || unknown->ranges.empty())) ++into.whole;
    if (unknown != nullptr && !unknown->ranges.empty() && output.size() == original.size()) {
        ++into.placed;
    }
}

struct Kind {
    const char* name;
    Bytes data;
};

constexpr size_t kSpans[] = {16, 128, 1024, 4096};
// Damage kinds: 0 zero fill, 1 random fill, 2 flipped bit.
constexpr const char* kDamageNames[] = {"zero", "random", "bitflip"};

struct Tally {
    const char* only = nullptr;  // run only the cases whose label holds this text
    Score ours[3][5];            // by damage kind and span (4: the flipped bit)
    Score zlib[3][5];
    Score zeroSmall;  // zero fill, N <= 128, text, code and records
    double worstSecondsPerMiB = 0;
    char worstCase[256] = "";
    double totalSeconds = 0;
    uint64_t totalCompressed = 0;
};

// One damaged copy of `stream` through the program's path and zlib's, scored into `tally`.
void runCase(const Kind& kind, const Bytes& original, const Bytes& stream, int level, int damage,
             size_t spanIndex, double place, std::mt19937& random, Tally& tally) {
    const size_t span = damage == 2 ? 0 : kSpans[spanIndex];
    char label[160];
    std::snprintf(label, sizeof label, "%s %zu level %d, %s %zu at %.0f%%", kind.name,
                  original.size(), level, kDamageNames[damage], span, place * 100);
    if (tally.only != nullptr && std::strstr(label, tally.only) == nullptr) return;
    Bytes damaged = stream;
    auto at = static_cast<size_t>(place * static_cast<double>(stream.size()));
    if (damage == 2) {
        damaged[at] ^= static_cast<uint8_t>(1u << (random() % 8));
    } else {
        if (at + span > damaged.size()) return;
        for (size_t index = 0; index < span; ++index) {
            damaged[at + index] = damage == 0 ? 0 : static_cast<uint8_t>(random());
        }
    }
    const size_t size = original.size();
    const size_t first = zlibInflate(stream, at, size + 1024).size();
    zipsalvage::UnknownRanges unknown;
    // Processor time, not wall time: the machine is shared.
    const std::clock_t started = std::clock();
    bool repaired = false;
    Bytes output = salvageEntry(damaged, size, crcOf(original), unknown, repaired);
    const double seconds = static_cast<double>(std::clock() - started) / CLOCKS_PER_SEC;
    tally.totalSeconds += seconds;
    tally.totalCompressed += damaged.size();
    const double perMiB = seconds * 1048576.0 / static_cast<double>(damaged.size());
    if (perMiB > tally.worstSecondsPerMiB) {
        tally.worstSecondsPerMiB = perMiB;
        std::snprintf(tally.worstCase, sizeof tally.worstCase, "%s: %zu bytes compressed, %.3f s",
                      label, damaged.size(), seconds);
    }
    const int sizeClass = static_cast<int>(spanIndex) + (damage == 2 ? 4 : 0);
    Score& ours = tally.ours[damage][sizeClass];
    const uint64_t wrongBefore = ours.wrongBytes;
    score(original, output, &unknown, first, ours);
    if (damage == 0 && ours.wrongBytes > wrongBefore) {
        std::printf("wrong bytes: %s %zu level %d, %s fill of %zu at %.0f%%\n", kind.name, size,
                    level, kDamageNames[damage], span, place * 100);
    }
    Bytes reference = zlibInflate(damaged, damaged.size(), size * 2 + 1024);
    score(original, reference, nullptr, first, tally.zlib[damage][sizeClass]);
    if (damage == 0 && span <= 128 && std::strcmp(kind.name, "log") != 0 &&
        std::strcmp(kind.name, "csv") != 0) {
        score(original, output, &unknown, first, tally.zeroSmall);
    }
}

void printTally(const Tally& tally) {
    std::printf("%-8s %-6s %6s %8s %8s %10s %8s %8s %8s\n", "damage", "N", "cases", "R", "R zlib",
                "wrong", "w.cases", "whole", "placed");
    for (int damage = 0; damage < 3; ++damage) {
        for (int sizeClass = 0; sizeClass < 5; ++sizeClass) {
            const Score& score = tally.ours[damage][sizeClass];
            if (score.cases == 0) continue;
            const Score& reference = tally.zlib[damage][sizeClass];
            std::printf("%-8s %-6zu %6llu %8.3f %8.3f %10llu %8llu %8llu %8llu\n",
                        kDamageNames[damage], sizeClass < 4 ? kSpans[sizeClass] : size_t{0},
                        static_cast<unsigned long long>(score.cases),
                        score.rSum / static_cast<double>(score.cases),
                        reference.rSum / static_cast<double>(reference.cases),
                        static_cast<unsigned long long>(score.wrongBytes),
                        static_cast<unsigned long long>(score.casesWithWrong),
                        static_cast<unsigned long long>(score.whole),
                        static_cast<unsigned long long>(score.placed));
        }
    }
    std::printf("zero fill N<=128 on text, code, records: R %.3f over %llu cases\n",
                tally.zeroSmall.rSum / static_cast<double>(tally.zeroSmall.cases),
                static_cast<unsigned long long>(tally.zeroSmall.cases));
    std::printf(
        "processor time: %.2f s for %.1f MiB compressed (%.3f s/MiB), worst entry %.3f s/MiB\n",
        tally.totalSeconds, static_cast<double>(tally.totalCompressed) / 1048576.0,
        tally.totalSeconds * 1048576.0 / static_cast<double>(tally.totalCompressed),
        tally.worstSecondsPerMiB);
    std::printf("slowest per MiB: %s\n", tally.worstCase);
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937 random(20261209);
    std::vector<std::string> textRoots = {"/usr/share/common-licenses", "/usr/share/doc"};
    Tally tally;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--only") == 0 && index + 1 < argc) {
            tally.only = argv[++index];
        } else {
            textRoots.insert(textRoots.begin(), argv[index]);
        }
    }
    std::vector<Kind> kinds;
    kinds.push_back(
        {"text",
         gather(textRoots, {"GPL-3", "Apache-2.0", "LGPL-2.1", "README", "copyright", ".txt"},
                512 * 1024)});
    kinds.push_back({"code", gather({ZIPSALVAGE_SOURCE_DIR}, {".cpp", ".h"}, 512 * 1024)});
    kinds.push_back({"log", makeLog(512 * 1024, random)});
    kinds.push_back({"csv", makeCsv(512 * 1024, random)});
    kinds.push_back({"records", makeRecords(512 * 1024, random)});

    for (const Kind& kind : kinds) {
        for (size_t size : {64 * 1024, 200 * 1024, 512 * 1024}) {
            if (kind.data.size() < size) continue;
            Bytes original(kind.data.begin(),
                           kind.data.begin() + static_cast<std::ptrdiff_t>(size));
            for (int level : {1, 6, 9}) {
                const Bytes stream = deflateRaw(original, level);
                for (int damage = 0; damage < 3; ++damage) {
                    for (size_t spanIndex = 0; spanIndex < (damage == 2 ? 1 : 4); ++spanIndex) {
                        for (double place : {0.2, 0.5, 0.8}) {
                            runCase(kind, original, stream, level, damage, spanIndex, place, random,
                                    tally);
                        }
                    }
                }
            }
        }
    }
    printTally(tally);
    return 0;
}
