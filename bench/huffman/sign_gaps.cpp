// How far behind random damage in a deflate stream decoding first shows a sign of it, by
// writer and by the signs read: the longest-match rule alone, with the nearest-match rule, the
// nearest-match rule alone, and both over the positions a fast writer chains.
// The figures behind the margins the search behind damage keeps around a sign.
//
//   build/release/bench/huffman/sign_gaps [--seed N] [text folders...]
// ">2048" and ">4096" count the overwrites whose first sign came farther behind their start.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "bench/huffman/resync_corpus.h"
#include "extract/inflate_nearest.h"
#include "extract/inflate_span.h"

namespace {

// 3: both, with the insides of matches longer than 4 left out of the chains (fast levels).
constexpr const char* kRuleNames[] = {"longest", "both", "nearest", "fast"};

using zipsalvage::bench::Bytes;

// The bit of the first sign at or after `fromBit`, UINT64_MAX for none before the stream stops.
uint64_t firstSign(const Bytes& stream, size_t size, int rule, uint64_t fromBit) {
    Bytes bytes(size + 65536);
    std::vector<uint8_t> marks(bytes.size(), 0);
    zipsalvage::NearestIndex index;
    zipsalvage::resetNearestIndex(index, 0, rule == 3 ? 4 : 0);
    zipsalvage::SpanDecoder decoder;
    decoder.data = stream.data();
    decoder.dataBytes = stream.size();
    decoder.bytes = &bytes;
    decoder.marks = &marks;
    decoder.outputLimit = bytes.size();
    decoder.checkLongest = rule != 2;
    if (rule != 0) decoder.nearest = &index;
    while (true) {
        decoder.symbolBudget = 1;
        const zipsalvage::SpanStop stop = zipsalvage::runSpan(decoder);
        if (decoder.brokenAtBit != UINT64_MAX) {
            if (decoder.brokenAtBit >= fromBit) return decoder.brokenAtBit;
            decoder.brokenAtBit = UINT64_MAX;
        }
        if (stop != zipsalvage::SpanStop::kWorkSpent) return UINT64_MAX;
    }
}

uint64_t percentile(std::vector<uint64_t> values, double share) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<size_t>(share * static_cast<double>(values.size() - 1))];
}

}  // namespace

int main(int argc, char** argv) {
    uint32_t seed = 7;
    int first = 1;
    if (argc > 2 && std::string(argv[1]) == "--seed") {
        seed = static_cast<uint32_t>(std::strtoul(argv[2], nullptr, 10));
        first = 3;
    }
    std::vector<std::string> roots(argv + first, argv + argc);
    std::mt19937 random(seed);
    const auto kinds = zipsalvage::bench::gatherKinds(roots, ZIPSALVAGE_SOURCE_DIR, random);
    const auto writers = zipsalvage::bench::availableWriters();
    const std::string scratch = "/tmp/sign_gaps";
    std::system(("mkdir -p " + scratch).c_str());
    std::printf("%-8s %-7s %8s %8s | %6s %6s %6s %6s %6s %6s %6s %6s\n", "writer", "rule", "intact",
                "early", "p50", "p90", "p99", "max", ">2048", ">4096", "none", "cases");
    for (const auto& writer : writers) {
        for (int rule = 0; rule < 4; ++rule) {
            std::vector<uint64_t> gaps;
            int intactSigns = 0;
            int earlySigns = 0;
            int none = 0;
            for (const auto& kind : kinds) {
                const Bytes stream = zipsalvage::bench::deflateWith(writer, kind.data, scratch);
                if (stream.empty()) continue;
                const uint64_t intact = firstSign(stream, kind.data.size(), rule, 0);
                if (intact != UINT64_MAX) ++intactSigns;
                if (intact < 8192) ++earlySigns;
                for (int trial = 0; trial < 150; ++trial) {
                    Bytes damaged = stream;
                    const size_t span = size_t{16} << (4 * (trial % 3));
                    const size_t at = stream.size() / 10 + random() % (stream.size() * 7 / 10);
                    if (at + span > damaged.size()) continue;
                    for (size_t index = 0; index < span; ++index)
                        damaged[at + index] = static_cast<uint8_t>(random());
                    const uint64_t sign =
                        firstSign(damaged, kind.data.size(), rule, uint64_t{at} * 8);
                    if (sign == UINT64_MAX) {
                        ++none;
                        continue;
                    }
                    gaps.push_back(sign - uint64_t{at} * 8);
                }
            }
            const auto beyond = [&gaps](uint64_t bits) {
                return std::count_if(gaps.begin(), gaps.end(),
                                     [bits](uint64_t gap) { return gap > bits; });
            };
            std::printf("%-8s %-7s %8d %8d | %6llu %6llu %6llu %6llu %6ld %6ld %6d %6zu\n",
                        writer.name, kRuleNames[rule], intactSigns, earlySigns,
                        static_cast<unsigned long long>(percentile(gaps, 0.5)),
                        static_cast<unsigned long long>(percentile(gaps, 0.9)),
                        static_cast<unsigned long long>(percentile(gaps, 0.99)),
                        static_cast<unsigned long long>(percentile(gaps, 1.0)),
                        static_cast<long>(beyond(2048)), static_cast<long>(beyond(4096)), none,
                        gaps.size() + static_cast<size_t>(none));
        }
    }
    return 0;
}
