// Damaged copies of the real archives, cut short or with bytes of their data changed: every
// decoder ends, keeps only what it really recovered, and writes at most its recorded size plus
// one copy (or one LZW string).
#include <gtest/gtest.h>

#include "tests/legacy/legacy_decoding.h"
#include "tests/legacy/zip_listing.h"
#include "tests/support/test_files.h"

namespace zipsalvage::testing {
namespace {

struct RealEntry {
    std::string archivePath;
    const Bytes* archive;
    DirectoryEntry entry;
    Bytes content;  // as decoded from the intact archive
};

struct RealEntries {
    std::vector<Bytes> archives;
    std::vector<RealEntry> entries;
};

RealEntries loadRealEntries() {
    RealEntries loaded;
    std::vector<std::string> paths = legacyArchivePaths();
    loaded.archives.reserve(paths.size());
    for (const std::string& path : paths) {
        loaded.archives.push_back(readWholeFile(path));
        const Bytes& archive = loaded.archives.back();
        for (const DirectoryEntry& entry : listZip(archive)) {
            if (!isLegacyMethod(entry.method)) continue;
            loaded.entries.push_back(
                {path, &archive, entry, runEntryMethod(archive, entry).output});
        }
    }
    return loaded;
}

// Large entries get fewer variants, to keep the sanitizer build quick.
int variantsFor(const DirectoryEntry& entry, int many) {
    return entry.compressedSize > 100000 ? 2 : many;
}

#define SKIP_WITHOUT_ENTRIES(loaded)                                                          \
    if ((loaded).entries.empty()) {                                                           \
        GTEST_SKIP() << "no shared test data (../shared/testdata/legacy): nothing to damage"; \
    }

TEST(DamagedArchives, ArchiveCutInsideAnEntryKeepsAPrefixOfIt) {
    RealEntries loaded = loadRealEntries();
    SKIP_WITHOUT_ENTRIES(loaded);
    for (const RealEntry& real : loaded.entries) {
        int cuts = variantsFor(real.entry, 7);
        for (int step = 0; step < cuts; ++step) {
            size_t cut = real.entry.compressedSize * static_cast<size_t>(step) / cuts + 1;
            MethodRun run = runEntryMethod(*real.archive, real.entry, cut);
            std::string where =
                real.archivePath + " " + real.entry.name + " cut at " + std::to_string(cut);
            ASSERT_LE(run.output.size(), real.content.size()) << where;
            EXPECT_TRUE(std::equal(run.output.begin(), run.output.end(), real.content.begin()))
                << where;
            // Unshrink keeps its ending the same however the data stops; the others report it.
            if (real.entry.method != 1 && run.output.size() < real.content.size()) {
                EXPECT_EQ(run.result, 0) << where;
            }
        }
    }
}

TEST(DamagedArchives, ChangedBytesEndWithinOneCopyOfTheRecordedSize) {
    RealEntries loaded = loadRealEntries();
    SKIP_WITHOUT_ENTRIES(loaded);
    uint32_t seed = 1;
    for (const RealEntry& real : loaded.entries) {
        const DirectoryEntry& entry = real.entry;
        uint32_t limit = entry.uncompressedSize + longestCopy(entry.method);
        int variants = variantsFor(entry, 24);
        for (int variant = 0; variant < variants; ++variant) {
            Bytes damaged = *real.archive;
            Bytes noise = makeRandom(8, ++seed);
            int changes = 1 + variant % 3;
            for (int change = 0; change < changes; ++change) {
                uint32_t pick = noise[2 * change] << 8 | noise[2 * change + 1];
                size_t at = entry.dataOffset + (pick * 7919u + seed) % entry.compressedSize;
                damaged[at] ^= static_cast<uint8_t>(noise[6] | 1);
            }
            MethodRun run = runEntryMethod(damaged, entry);
            EXPECT_LE(run.output.size(), limit) << real.archivePath << " " << entry.name;
        }
        // A recorded compressed size that is too small: the rest of the data is the archive's.
        MethodRun shortened =
            runEntryMethod(*real.archive, entry, SIZE_MAX, entry.compressedSize / 2);
        EXPECT_LE(shortened.output.size(), limit) << real.archivePath << " " << entry.name;
    }
}

// A valid start for each method, so that the noise after it reaches the decoding loop: empty
// follower sets for unreduce, tree descriptions of equal-length codes for explode.
Bytes validStart(uint16_t method, uint16_t flags) {
    Bytes start;
    if (method >= 2 && method <= 5) start.assign(192, 0);  // 256 counts of 0, 6 bits each
    if (method == 6) {
        if (flags & 4) {
            start.push_back(15);  // 16 description bytes: 256 literals of 8 bits
            start.insert(start.end(), 16, 0xF7);
        }
        for (int tree = 0; tree < 2; ++tree) {
            start.push_back(3);  // 4 description bytes: 64 symbols of 6 bits
            start.insert(start.end(), 4, 0xF5);
        }
    }
    return start;
}

TEST(DamagedArchives, NoiseWithAHugeRecordedSizeEndsWithTheData) {
    // Nothing but their input stops these decoders here: each must consume data as it goes.
    Bytes noise = makeRandom(65536, 77);
    for (uint16_t method = 1; method <= 6; ++method) {
        for (int flags : {0, 2, 4, 6}) {
            DirectoryEntry entry;
            entry.method = method;
            entry.flags = static_cast<uint16_t>(flags);
            Bytes data = validStart(method, entry.flags);
            data.insert(data.end(), noise.begin(), noise.end());
            entry.compressedSize = static_cast<uint32_t>(data.size());
            entry.uncompressedSize = 0xFFFFFFFFu;
            MethodRun run = runEntryMethod(data, entry);
            // 524288 bits of noise; no symbol costs less than one bit or yields more than one
            // copy (or LZW string).
            EXPECT_LT(run.output.size(), 8u * noise.size() * longestCopy(method)) << method;
            if (method >= 2) {
                EXPECT_GE(run.output.size(), 16384u) << method << " " << flags;
            }
            if (method == 6) {
                EXPECT_EQ(run.result, 0) << flags;  // ran out: a failure
            }
        }
    }
}

TEST(DamagedArchives, SalvageOfCutAndChangedCopiesEndsCleanly) {
    std::vector<std::string> paths = legacyArchivePaths();
    if (paths.empty()) GTEST_SKIP() << "no shared test data (../shared/testdata/legacy)";
    for (const std::string& path : paths) {
        Bytes archive = readWholeFile(path);
        std::vector<DirectoryEntry> original = listZip(archive);
        Bytes cut(archive.begin(), archive.begin() + static_cast<long>(archive.size() * 3 / 5));
        Bytes changed = archive;
        for (const DirectoryEntry& entry : original) {
            if (entry.compressedSize > 8)
                changed[entry.dataOffset + entry.compressedSize / 3] ^= 0x5A;
        }
        for (const Bytes* damaged : {&cut, &changed}) {
            TempDir dir;
            writeWholeFile(dir.file("damaged.zip"), *damaged);
            std::string log;
            int status = runCommand("timeout 300 " + std::string(ZIPSALVAGE_BINARY) + " -y -o " +
                                        shellQuote(dir.file("out.zip")) + " " +
                                        shellQuote(dir.file("damaged.zip")),
                                    &log);
            std::string where = path + (damaged == &cut ? " cut" : " changed");
            EXPECT_TRUE(status == 0 || status == 1) << where << " status " << status << "\n" << log;
            for (const DirectoryEntry& salvaged : listZip(readWholeFile(dir.file("out.zip")))) {
                for (const DirectoryEntry& entry : original) {
                    if (entry.name != salvaged.name) continue;
                    EXPECT_LE(salvaged.uncompressedSize,
                              entry.uncompressedSize + longestCopy(entry.method))
                        << where << " " << entry.name;
                }
            }
        }
    }
}

}  // namespace
}  // namespace zipsalvage::testing
