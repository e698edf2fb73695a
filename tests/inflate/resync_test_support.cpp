// The deflate path with recovery past damage over a stream in memory, and 7z's deflate: see
// resync_test_support.h.
#include "tests/inflate/resync_test_support.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "extract/inflate_resync.h"
#include "tests/inflate/inflate_test_support.h"

namespace zipsalvage::testing {

uint32_t crcOf(const Bytes& bytes) { return ~crc32Update(0xFFFFFFFFu, bytes.data(), bytes.size()); }

Recovered recover(const Bytes& stream, const Bytes& original) {
    Recovered recovered;
    for (int pass = 0; pass < 2; ++pass) {
        DecoderBench bench(stream, static_cast<uint32_t>(original.size()));
        bench.context.unknown = &recovered.unknown;
        recovered.unknown.ranges.clear();
        bench.context.recordedCrc = crcOf(original);
        bench.context.crcKnown = 1;
        bench.context.knownDamaged = pass;
        bench.context.repair = &recovered.repair;
        recovered.result = inflateWithResync(bench.context, false);
        recovered.output = bench.output();
        if (!ranToEnd(recovered.result) || recovered.output.size() != original.size() ||
            crcOf(recovered.output) == crcOf(original)) {
            break;
        }
    }
    return recovered;
}

void expectNothingInvented(const Bytes& original, const Recovered& recovered,
                           const std::string& what) {
    ASSERT_LE(recovered.output.size(), original.size()) << what;
    std::vector<uint8_t> unknown(recovered.output.size(), 0);
    for (const ByteRange& range : recovered.unknown.ranges) {
        ASSERT_LE(range.end, recovered.output.size()) << what;
        for (uint64_t at = range.start; at < range.end; ++at) unknown[at] = 1;
    }
    for (size_t at = 0; at < recovered.output.size(); ++at) {
        if (unknown[at]) {
            ASSERT_EQ(recovered.output[at], 0) << what << " at " << at;
        } else {
            ASSERT_EQ(recovered.output[at], original[at]) << what << " at " << at;
        }
    }
}

// The raw deflate data of the one entry of the Zip archive 7z writes with its own encoder (an
// optimal parse, whose matches are not always the longest); empty where 7z is missing.
Bytes sevenZipDeflate(const Bytes& original) {
    if (std::system("command -v 7z >/dev/null 2>&1") != 0) return {};
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("inflate_resync_7z_" + std::to_string(getpid()));
    std::filesystem::create_directories(folder);
    writeWholeFile((folder / "data").string(), original);
    const std::string command =
        "cd '" + folder.string() + "' && 7z a -tzip -mm=Deflate -mx=9 out.zip data >/dev/null 2>&1";
    Bytes zip;
    if (std::system(command.c_str()) == 0) zip = readWholeFile((folder / "out.zip").string());
    std::filesystem::remove_all(folder);
    // APPNOTE 4.3.7: the local header's compressed size at 18, name and extra lengths at 26.
    const auto field = [&zip](size_t at, int bytes) {
        uint32_t value = 0;
        for (int index = bytes - 1; index >= 0; --index) value = value << 8 | zip[at + index];
        return value;
    };
    if (zip.size() < 30 || field(0, 4) != 0x04034b50u) return {};
    const size_t start = 30 + field(26, 2) + field(28, 2);
    const uint32_t compressed = field(18, 4);
    if (compressed == 0 || start + compressed > zip.size()) return {};
    return Bytes(zip.begin() + static_cast<std::ptrdiff_t>(start),
                 zip.begin() + static_cast<std::ptrdiff_t>(start + compressed));
}

}  // namespace zipsalvage::testing
