// How often the bytes after a chance "PK\3\4" are taken for a local header, in random data and
// in deflated data: the candidate test the scan uses (headerIsPlausible) against the older
// length-only rule (name length 1..270) over the same candidates, in the same run. Then the
// whole engine over a file with planted signatures, to show the scan applies that test.
//
// A random byte position starts a signature with probability 2^-32, so false entries per GiB
// of such data are 2^30 / 2^32 = 0.25 times the share of candidates taken.
//
// usage: false_header_bench [candidates=1000000] [folder=/tmp]
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"

namespace {

using Bytes = std::vector<uint8_t>;

uint64_t rngState = 88172645463325252ull;
uint32_t nextRandom() {
    rngState ^= rngState << 13;
    rngState ^= rngState >> 7;
    rngState ^= rngState << 17;
    return static_cast<uint32_t>(rngState >> 32);
}

Bytes randomBytes(size_t size) {
    Bytes bytes(size);
    for (auto& byte : bytes) byte = static_cast<uint8_t>(nextRandom());
    return bytes;
}

// Words drawn from a small vocabulary, deflated by zlib at level 6, stream after stream.
Bytes deflatedBytes(size_t size) {
    static const char* const kWords[] = {
        "the ", "salvage ", "archive ", "of ",   "entry ", "data ", "and ",     "header ",
        "zip ", "name ",    "\n",       "size ", "1999 ",  "2026 ", "central ", "directory "};
    Bytes out;
    while (out.size() < size) {
        std::string text;
        while (text.size() < (1u << 20)) text += kWords[nextRandom() % 16];
        uLongf length = compressBound(static_cast<uLong>(text.size()));
        Bytes packed(length);
        compress2(packed.data(), &length, reinterpret_cast<const Bytef*>(text.data()),
                  static_cast<uLong>(text.size()), 6);
        // Without zlib's 2-byte header and 4-byte trailer: raw deflate as Zip entries hold it.
        out.insert(out.end(), packed.begin() + 2, packed.begin() + static_cast<long>(length) - 4);
    }
    out.resize(size);
    return out;
}

struct Taken {
    uint64_t lengthRule = 0;
    uint64_t plausible = 0;
};

// Every candidate: a signature at a random position, the corpus bytes after it as the header.
Taken countTaken(const Bytes& corpus, uint64_t candidates) {
    using namespace zipsalvage;
    Taken taken;
    size_t room = corpus.size() - (kLocalHeaderSize - 4) - 65536;
    for (uint64_t index = 0; index < candidates; ++index) {
        size_t at = nextRandom() % room;
        LocalHeader header;
        storeLE32(header.bytes, kLocalHeaderSignature);
        std::memcpy(header.bytes + 4, corpus.data() + at, kLocalHeaderSize - 4);
        uint16_t nameLength = headerField16(header, kLocalNameLength);
        const uint8_t* name = corpus.data() + at + kLocalHeaderSize - 4;
        if (nameLength >= 1 && nameLength <= 270) ++taken.lengthRule;
        if (headerIsPlausible(header, name, nameLength)) ++taken.plausible;
    }
    return taken;
}

void report(const char* corpusName, const Taken& taken, uint64_t candidates) {
    double before = static_cast<double>(taken.lengthRule) / static_cast<double>(candidates);
    double after = static_cast<double>(taken.plausible) / static_cast<double>(candidates);
    std::printf(
        "%-9s candidates %llu  taken: length rule %llu (%.4f%%, %.5f per GiB)  "
        "now %llu (%.4f%%, %.5f per GiB)  ratio now/before %.4f\n",
        corpusName, static_cast<unsigned long long>(candidates),
        static_cast<unsigned long long>(taken.lengthRule), 100 * before, 0.25 * before,
        static_cast<unsigned long long>(taken.plausible), 100 * after, 0.25 * after,
        before > 0 ? after / before : 0.0);
}

// The engine over `corpus` with `planted` signatures written into it: entries found.
uint64_t entriesFoundByTheEngine(Bytes corpus, uint64_t planted, const std::string& folder) {
    for (uint64_t index = 0; index < planted; ++index) {
        size_t at = nextRandom() % (corpus.size() - 4);
        zipsalvage::storeLE32(corpus.data() + at, zipsalvage::kLocalHeaderSignature);
    }
    std::string input = folder + "/false_header_bench.in";
    std::string output = folder + "/false_header_bench.zip";
    FILE* file = std::fopen(input.c_str(), "wb");
    if (file == nullptr) return 0;
    std::fwrite(corpus.data(), 1, corpus.size(), file);
    std::fclose(file);
    std::remove(output.c_str());
    auto* run = new zipsalvage::SalvageRun;
    uint64_t found = 0;
    if (zipsalvage::openArchive(*run, input.c_str()) &&
        zipsalvage::createOutput(*run, output.c_str())) {
        zipsalvage::runSalvage(*run);
        found = run->filesFound;
    }
    zipsalvage::closeRunFiles(*run);
    zipsalvage::freeEntryList(*run);
    delete run;
    zipsalvage::removeRunTempFolder();
    std::remove(input.c_str());
    std::remove(output.c_str());
    return found;
}

}  // namespace

int main(int argumentCount, char** arguments) {
    uint64_t candidates = argumentCount > 1 ? std::strtoull(arguments[1], nullptr, 10) : 1000000;
    std::string folder = argumentCount > 2 ? arguments[2] : "/tmp";
    const size_t corpusBytes = 32u << 20;
    Bytes random = randomBytes(corpusBytes);
    Bytes deflated = deflatedBytes(corpusBytes);
    report("random", countTaken(random, candidates), candidates);
    report("deflated", countTaken(deflated, candidates), candidates);
    const uint64_t planted = 20000;
    std::printf(
        "engine: %llu signatures planted in %zu MiB of random data: %llu entries found "
        "(the length rule would take about %.0f)\n",
        static_cast<unsigned long long>(planted), corpusBytes >> 20,
        static_cast<unsigned long long>(entriesFoundByTheEngine(random, planted, folder)),
        static_cast<double>(planted) * 270 / 65536);
    return 0;
}
