// Recovery behind damage in deflated entries: how much of what follows a damaged span comes
// back right at its offsets, and whether any byte is handed back wrong.
//
// Corpus: text, source code, logs, CSV and binary records of 64 to 512 KiB (text and code from
// the machine and this repository, the others made here with a fixed seed), each deflated by
// zlib at levels 1, 6 and 9, Info-ZIP `zip -6` and `7z a -tzip -mm=Deflate -mx=9` (those two
// left out, with a message, where the program is missing). Each stream is damaged once, at 20%, 50%
// and 80% of its compressed bytes: zero fill and random fill of 16, 128, 1024 and 4096 bytes, and
// one flipped bit. Every damaged stream runs through the program's deflate path (inflate, then the
// search behind damage) with the recorded size; zlib's inflate of the same stream is the reference.
//
// R bound: the R of the intact stream decoded with the damaged bytes' own output unknown (and
// what later matches copy from it): the most a search that never guesses can give back.
// R: of the bytes after the first output byte the damage touches, the share that come back
// right at their offsets (unknown bytes count as not right). Wrong: bytes written, not listed
// as unknown, and different from the original.
//
//   build/release/bench/huffman/resync_bench [--only "LABEL PART"] [--trace] [--sources DIR]
//                                            [more text folders...]
// The code is this checkout's sources unless --sources names other ones (a fixed copy keeps
// the corpus the same while the sources change: `git archive REV | tar -x -C DIR`).
// where a label reads like "text 524288 zlib-6, zero 4096 at 20%". R is printed for each
// damage and N over all cases, then per writer and per kind.
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "bench/huffman/resync_corpus.h"
#include "extract/extract_context.h"
#include "extract/inflate_resync.h"
#include "extract/inflate_span.h"

namespace {

using zipsalvage::bench::Bytes;
using zipsalvage::bench::Kind;
using zipsalvage::bench::Writer;

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

// The intact stream decoded with the output of its bytes [at, at + span) unknown, and every byte
// later matches copy from it: what a search that never guesses could at best give back.
Bytes boundOutput(const Bytes& stream, size_t size, size_t at, size_t span,
                  zipsalvage::UnknownRanges& unknown) {
    Bytes bytes(size);
    std::vector<uint8_t> marks(size, 0);
    zipsalvage::SpanDecoder decoder;
    decoder.data = stream.data();
    decoder.dataBytes = stream.size();
    decoder.bytes = &bytes;
    decoder.marks = &marks;
    decoder.outputLimit = size;
    decoder.stopBit = uint64_t{at} * 8;
    zipsalvage::runSpan(decoder);
    const uint64_t damageStart = decoder.outputPos;
    decoder.stopBit = uint64_t{at + span} * 8;
    zipsalvage::runSpan(decoder);
    std::fill(marks.begin() + static_cast<std::ptrdiff_t>(damageStart),
              marks.begin() + static_cast<std::ptrdiff_t>(decoder.outputPos), uint8_t{1});
    decoder.stopBit = UINT64_MAX;
    zipsalvage::runSpan(decoder);
    unknown.ranges.clear();
    for (size_t index = 0; index < size; ++index) {
        if (marks[index] != 0) zipsalvage::markUnknown(unknown, index, index + 1);
    }
    return bytes;
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

constexpr size_t kSpans[] = {16, 128, 1024, 4096};
// Damage kinds: 0 zero fill, 1 random fill, 2 flipped bit.
constexpr const char* kDamageNames[] = {"zero", "random", "bitflip"};
// A case's class: its damage and span, zero fill 0-3, random fill 4-7, the flipped bit 8.
constexpr int kClasses = 9;
constexpr int kMostKinds = 5;
constexpr int kMostWriters = 5;

int classOf(int damage, size_t spanIndex) {
    return damage == 2 ? 8 : damage * 4 + static_cast<int>(spanIndex);
}

struct Tally {
    const char* only = nullptr;  // run only the cases whose label holds this text
    bool trace = false;          // a line for each case (--trace)
    Score cells[kMostWriters][kMostKinds][kClasses];
    Score zlib[kClasses];
    Score bound[kClasses];  // the best a search that never guesses could do
    Score zeroSmall;        // zero fill, N <= 128, text, code and records
    Score zeroSmallBound;
    double worstSecondsPerMiB = 0;
    char worstCase[256] = "";
    double totalSeconds = 0;
    uint64_t totalCompressed = 0;
};

// One deflated entry of the corpus: which kind and writer made it.
struct Entry {
    int kindIndex;
    const Kind* kind;
    int writerIndex;
    const Writer* writer;
    Bytes original;
    Bytes stream;
};

// One damaged copy of the entry through the program's path and zlib's, scored into `tally`.
void runCase(const Entry& entry, int damage, size_t spanIndex, double place, Tally& tally) {
    const size_t span = damage == 2 ? 0 : kSpans[spanIndex];
    const Bytes& original = entry.original;
    const Bytes& stream = entry.stream;
    char label[160];
    std::snprintf(label, sizeof label, "%s %zu %s, %s %zu at %.0f%%", entry.kind->name,
                  original.size(), entry.writer->name, kDamageNames[damage], span, place * 100);
    if (tally.only != nullptr && std::strstr(label, tally.only) == nullptr) return;
    // Each case's damage comes from its label alone, so that --only repeats it exactly.
    uint32_t labelHash = 2166136261u;  // FNV-1a
    for (const char* at = label; *at != 0; ++at) {
        labelHash = (labelHash ^ static_cast<uint8_t>(*at)) * 16777619u;
    }
    std::mt19937 random(labelHash);
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
    if (tally.trace) {
        // Each case's time and a digest of what it gave back: a change meant to keep every
        // result is checked by comparing these lines, less the times, before and after it.
        uint32_t digest = crcOf(output);
        uint64_t unknownBytes = 0;
        for (const auto& range : unknown.ranges) {
            unknownBytes += range.end - range.start;
            digest = (digest ^ static_cast<uint32_t>(range.start)) * 16777619u;
        }
        Score own;
        score(original, output, &unknown, first, own);
        std::printf("case %s: crc %08x unknown %llu repaired %d R %.3f time %.4f s %.3f s/MiB\n",
                    label, digest, static_cast<unsigned long long>(unknownBytes), repaired ? 1 : 0,
                    own.rSum, seconds, perMiB);
    }
    const int caseClass = classOf(damage, spanIndex);
    Score& ours = tally.cells[entry.writerIndex][entry.kindIndex][caseClass];
    const uint64_t wrongBefore = ours.wrongBytes;
    score(original, output, &unknown, first, ours);
    if (ours.wrongBytes > wrongBefore) std::printf("wrong bytes: %s\n", label);
    Bytes reference = zlibInflate(damaged, damaged.size(), size * 2 + 1024);
    score(original, reference, nullptr, first, tally.zlib[caseClass]);
    zipsalvage::UnknownRanges boundUnknown;
    const Bytes best = boundOutput(stream, size, at, std::max<size_t>(span, 1), boundUnknown);
    score(original, best, &boundUnknown, first, tally.bound[caseClass]);
    if (damage == 0 && span <= 128 && std::strcmp(entry.kind->name, "log") != 0 &&
        std::strcmp(entry.kind->name, "csv") != 0) {
        score(original, output, &unknown, first, tally.zeroSmall);
        score(original, best, &boundUnknown, first, tally.zeroSmallBound);
    }
}

void add(Score& into, const Score& from) {
    into.rSum += from.rSum;
    into.cases += from.cases;
    into.wrongBytes += from.wrongBytes;
    into.casesWithWrong += from.casesWithWrong;
    into.whole += from.whole;
    into.placed += from.placed;
}

double meanR(const Score& score) {
    return score.cases == 0 ? 0.0 : score.rSum / static_cast<double>(score.cases);
}

// The cells of one writer (`writer` >= 0) or one kind (`kind` >= 0), or all, in one class.
Score sumOf(const Tally& tally, int writer, int kind, int caseClass) {
    Score sum;
    for (int w = 0; w < kMostWriters; ++w) {
        for (int k = 0; k < kMostKinds; ++k) {
            if ((writer < 0 || w == writer) && (kind < 0 || k == kind)) {
                add(sum, tally.cells[w][k][caseClass]);
            }
        }
    }
    return sum;
}

void printClasses(const Tally& tally) {
    std::printf("%-8s %-6s %6s %8s %8s %8s %10s %8s %8s %8s\n", "damage", "N", "cases", "R",
                "R zlib", "R bound", "wrong", "w.cases", "whole", "placed");
    for (int caseClass = 0; caseClass < kClasses; ++caseClass) {
        const Score score = sumOf(tally, -1, -1, caseClass);
        if (score.cases == 0) continue;
        std::printf("%-8s %-6zu %6llu %8.3f %8.3f %8.3f %10llu %8llu %8llu %8llu\n",
                    kDamageNames[caseClass == 8 ? 2 : caseClass / 4],
                    caseClass == 8 ? size_t{0} : kSpans[caseClass % 4],
                    static_cast<unsigned long long>(score.cases), meanR(score),
                    meanR(tally.zlib[caseClass]), meanR(tally.bound[caseClass]),
                    static_cast<unsigned long long>(score.wrongBytes),
                    static_cast<unsigned long long>(score.casesWithWrong),
                    static_cast<unsigned long long>(score.whole),
                    static_cast<unsigned long long>(score.placed));
    }
}

// R by class, one row per writer and one per kind, with the row's wrong bytes.
void printRows(const Tally& tally, const std::vector<Writer>& writers,
               const std::vector<Kind>& kinds) {
    std::printf("\n%-8s", "R");
    for (int caseClass = 0; caseClass < kClasses; ++caseClass) {
        std::printf(" %c%-5zu", "zrf"[caseClass == 8 ? 2 : caseClass / 4],
                    caseClass == 8 ? size_t{1} : kSpans[caseClass % 4]);
    }
    std::printf(" %6s\n", "wrong");
    const auto row = [&tally](const char* name, int writer, int kind) {
        std::printf("%-8s", name);
        uint64_t wrong = 0;
        for (int caseClass = 0; caseClass < kClasses; ++caseClass) {
            const Score score = sumOf(tally, writer, kind, caseClass);
            wrong += score.wrongBytes;
            std::printf(" %6.3f", meanR(score));
        }
        std::printf(" %6llu\n", static_cast<unsigned long long>(wrong));
    };
    for (size_t index = 0; index < writers.size(); ++index) {
        row(writers[index].name, static_cast<int>(index), -1);
    }
    for (size_t index = 0; index < kinds.size(); ++index) {
        row(kinds[index].name, -1, static_cast<int>(index));
    }
}

void printTally(const Tally& tally, const std::vector<Writer>& writers,
                const std::vector<Kind>& kinds) {
    printClasses(tally);
    printRows(tally, writers, kinds);
    Score zeroUpTo1024;
    Score boundUpTo1024;
    for (int caseClass = 0; caseClass < 3; ++caseClass) {
        add(zeroUpTo1024, sumOf(tally, -1, -1, caseClass));
        add(boundUpTo1024, tally.bound[caseClass]);
    }
    std::printf("\nzero fill N<=1024: R %.3f (bound %.3f) over %llu cases\n", meanR(zeroUpTo1024),
                meanR(boundUpTo1024), static_cast<unsigned long long>(zeroUpTo1024.cases));
    std::printf("zero fill N<=128 on text, code, records: R %.3f (bound %.3f) over %llu cases\n",
                meanR(tally.zeroSmall), meanR(tally.zeroSmallBound),
                static_cast<unsigned long long>(tally.zeroSmall.cases));
    std::printf(
        "processor time: %.2f s for %.1f MiB compressed (%.3f s/MiB), worst entry %.3f s/MiB\n",
        tally.totalSeconds, static_cast<double>(tally.totalCompressed) / 1048576.0,
        tally.totalSeconds * 1048576.0 / static_cast<double>(tally.totalCompressed),
        tally.worstSecondsPerMiB);
    std::printf("slowest per MiB: %s\n", tally.worstCase);
}

// Every damage of every span at every place, over one entry.
void runEntry(const Entry& entry, Tally& tally) {
    for (int damage = 0; damage < 3; ++damage) {
        for (size_t spanIndex = 0; spanIndex < (damage == 2 ? 1 : 4); ++spanIndex) {
            for (double place : {0.2, 0.5, 0.8}) {
                runCase(entry, damage, spanIndex, place, tally);
            }
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::mt19937 random(20261209);
    std::vector<std::string> textRoots = {"/usr/share/common-licenses", "/usr/share/doc"};
    std::string sources = ZIPSALVAGE_SOURCE_DIR;
    Tally tally;
    for (int index = 1; index < argc; ++index) {
        if (std::strcmp(argv[index], "--only") == 0 && index + 1 < argc) {
            tally.only = argv[++index];
        } else if (std::strcmp(argv[index], "--sources") == 0 && index + 1 < argc) {
            sources = argv[++index];
        } else if (std::strcmp(argv[index], "--trace") == 0) {
            tally.trace = true;
        } else {
            textRoots.insert(textRoots.begin(), argv[index]);
        }
    }
    const std::vector<Kind> kinds = zipsalvage::bench::gatherKinds(textRoots, sources, random);
    const std::vector<Writer> writers = zipsalvage::bench::availableWriters();
    char scratch[] = "/tmp/resync_bench-XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        std::perror("resync_bench: no scratch folder");
        return 1;
    }
    for (size_t kindIndex = 0; kindIndex < kinds.size() && kindIndex < kMostKinds; ++kindIndex) {
        const Kind& kind = kinds[kindIndex];
        for (size_t size : {64 * 1024, 200 * 1024, 512 * 1024}) {
            if (kind.data.size() < size) continue;
            Bytes original(kind.data.begin(),
                           kind.data.begin() + static_cast<std::ptrdiff_t>(size));
            for (size_t writer = 0; writer < writers.size() && writer < kMostWriters; ++writer) {
                Entry entry{static_cast<int>(kindIndex),
                            &kind,
                            static_cast<int>(writer),
                            &writers[writer],
                            original,
                            {}};
                entry.stream = zipsalvage::bench::deflateWith(writers[writer], original, scratch);
                if (entry.stream.empty()) {
                    std::printf("%s gave no deflated entry for %s %zu\n", writers[writer].name,
                                kind.name, size);
                    continue;
                }
                runEntry(entry, tally);
            }
        }
    }
    std::error_code error;
    std::filesystem::remove_all(scratch, error);
    printTally(tally, writers, kinds);
    return 0;
}
