// Damaged archives end to end: every kind of damage from the generator, over an archive of
// stored and deflated entries, plain and encrypted (the password given in advance). Whatever the
// damage, the run completes within its time budget and writes a valid archive; every entry whose
// local record survived untouched, and that the scan can still reach, comes out byte for byte.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "fuzz/archive_check.h"
#include "fuzz/fuzz_bench.h"
#include "tests/engine/run_bench.h"
#include "tests/fuzz/archive_damage.h"

namespace zipsalvage::testing {
namespace {

constexpr size_t kLocalHeaderBytes = 30;
constexpr size_t kRewindAfterEntry = 8;
// Loose on purpose: the sanitizer build is many times slower than the optimised one.
constexpr double kSecondsPerMegabyte = 20.0;
constexpr double kSecondsPerRun = 3.0;
const char* const kPassword = "salvage me";

struct OriginalEntry {
    std::string name;
    Bytes content;
    uint16_t method;
    size_t offset;  // of the local header
    size_t recordBytes;
};

struct Original {
    Bytes archive;
    std::vector<OriginalEntry> entries;
};

// The descriptor a streaming writer puts behind an entry's data (APPNOTE 4.3.9), signed.
Bytes dataDescriptor(uint32_t crc, size_t compressedSize, size_t uncompressedSize) {
    Bytes descriptor;
    for (uint32_t value : {0x08074B50u, crc, static_cast<uint32_t>(compressedSize),
                           static_cast<uint32_t>(uncompressedSize)}) {
        for (int shift = 0; shift < 32; shift += 8) {
            descriptor.push_back(static_cast<uint8_t>(value >> shift));
        }
    }
    return descriptor;
}

// With `streamed`, every entry is written as a streaming writer does: flag bit 3, CRC-32 and
// sizes 0 in the local header, a descriptor behind the data, the check word from the time.
Original buildOriginal(size_t bigEntryBytes = 0, bool streamed = false) {
    struct Plan {
        const char* name;
        Bytes content;
        bool deflated;
        bool encrypted = false;
    };
    std::vector<Plan> plans = {
        {"readme.txt", makeText(3000, 1), false},
        {"empty", {}, false},
        {"short.txt", makeText(60, 2), false},
        {"noise.bin", makeRandom(5000, 3), false},
        {"book.txt", makeText(20000, 4), true},
        {"picture.jpg", makeRandom(900, 5), false},
        {"small-deflated.txt", makeText(700, 6), true},
        {"secret.txt", makeText(2500, 9), false, true},
        {"secret-book.txt", makeText(9000, 10), true, true},
        {"last.txt", makeText(1500, 7), false},
    };
    if (bigEntryBytes > 0) plans.push_back({"big.bin", makeRandom(bigEntryBytes, 8), false});
    Original original;
    std::vector<TestEntry> entries;
    size_t offset = 0;
    for (const Plan& plan : plans) {
        TestEntry entry{plan.name, plan.content};
        if (plan.deflated) {
            entry.data = fuzz::zlibDeflate(plan.content.data(), plan.content.size());
            entry.method = 8;
            entry.uncompressedSize = static_cast<int64_t>(plan.content.size());
            entry.crc32 = crc32Of(plan.content);
        }
        if (plan.encrypted) {
            entry.flags = 1;
            entry.crc32 = crc32Of(plan.content);
            entry.uncompressedSize = static_cast<int64_t>(plan.content.size());
            uint16_t checkWord =
                streamed ? entry.modTime : static_cast<uint16_t>(crc32Of(plan.content) >> 16);
            entry.data = encryptTraditional(entry.data, kPassword, checkWord);
        }
        if (streamed) {
            Bytes descriptor =
                dataDescriptor(crc32Of(plan.content), entry.data.size(), plan.content.size());
            entry.flags = static_cast<uint16_t>(entry.flags | 0x0008);
            entry.crc32 = 0;
            entry.compressedSize = 0;
            entry.uncompressedSize = 0;
            Bytes record = localRecord(entry);
            record.insert(record.end(), descriptor.begin(), descriptor.end());
            original.entries.push_back(
                {plan.name, plan.content, entry.method, offset, record.size()});
            offset += record.size();
            original.archive.insert(original.archive.end(), record.begin(), record.end());
            continue;
        }
        size_t recordBytes = localRecord(entry).size();
        original.entries.push_back({plan.name, plan.content, entry.method, offset, recordBytes});
        offset += recordBytes;
        entries.push_back(entry);
    }
    // A streamed archive here has lost its directory: the scan alone must find everything.
    if (!streamed) original.archive = buildArchive(entries);
    return original;
}

uint32_t get16(const Bytes& bytes, size_t at) { return bytes[at] | bytes[at + 1] << 8; }
uint32_t get32(const Bytes& bytes, size_t at) {
    return get16(bytes, at) | get16(bytes, at + 2) << 16;
}

// Whether the scan surely reaches the local header at `target`: no header it could find before
// it claims data reaching past it. After an entry the scan looks again at the last 8 bytes read
// and never resumes beyond the entry's recorded data (explode and inflate may read up to 10
// bytes further on damaged data; stored, unshrink and unreduce never read past it).
bool scanReaches(const Bytes& damaged, size_t target) {
    for (size_t at = 0; at + 4 <= target && at + kLocalHeaderBytes <= damaged.size(); ++at) {
        if (get32(damaged, at) != 0x04034B50) continue;
        uint32_t nameLength = get16(damaged, at + 26);
        if (nameLength == 0 || nameLength > 270) continue;
        uint64_t recordedEnd = at + kLocalHeaderBytes + nameLength + get16(damaged, at + 28) +
                               uint64_t{get32(damaged, at + 18)};
        uint32_t method = get16(damaged, at + 8);
        uint64_t resumeAtLatest =
            method == 6 || method == 8 ? recordedEnd : recordedEnd - kRewindAfterEntry;
        if (resumeAtLatest > target) return false;
    }
    return true;
}

struct DamagedRun {
    std::vector<fuzz::CheckedEntry> salvaged;
    size_t expectedWhole = 0;  // entry copies that had to come out whole
};

// Salvages `damaged` and checks everything that must hold for any damage.
DamagedRun salvageDamaged(const Original& original, const DamagedArchive& damaged) {
    SCOPED_TRACE(damaged.description);
    DamagedRun outcome;
    RunBench bench;
    bench.run.passwords.given = {kPassword};
    auto started = std::chrono::steady_clock::now();
    EXPECT_TRUE(bench.salvage(damaged.bytes));
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    double budget =
        kSecondsPerRun + kSecondsPerMegabyte * static_cast<double>(damaged.bytes.size()) / 1e6;
    EXPECT_LT(seconds, budget) << "run over its time budget";
    EXPECT_EQ(bench.result, RunResult::kCompleted);
    EXPECT_FALSE(pathExists(runTempFolder() + "klv.tmp"));
    Bytes output = bench.output();
    std::string problem =
        fuzz::checkSalvagedArchive(output.data(), output.size(), &outcome.salvaged);
    EXPECT_EQ(problem, "") << "output is not a valid archive";

    // Entries that can only come out whole: untouched, reachable, and of a method that decodes.
    std::map<std::string, int> owed;  // name -> whole copies still to find
    for (const OriginalEntry& entry : original.entries) {
        for (size_t copy : survivingCopies(damaged, entry.offset, entry.recordBytes)) {
            if (scanReaches(damaged.bytes, copy)) {
                ++owed[entry.name];
                ++outcome.expectedWhole;
            }
        }
    }
    for (const fuzz::CheckedEntry& salvaged : outcome.salvaged) {
        for (const OriginalEntry& entry : original.entries) {
            if (salvaged.name == entry.name && salvaged.content == entry.content &&
                owed[entry.name] > 0) {
                --owed[entry.name];
            }
        }
    }
    for (const auto& [name, missing] : owed) {
        EXPECT_EQ(missing, 0) << name << " survived untouched but did not come out whole";
    }

    // Encoder threads change nothing of what the run writes, logs or reports.
    RunBench threaded;
    threaded.run.threads = bench.run.threads == 1 ? 3 : 1;
    threaded.run.passwords.given = {kPassword};
    EXPECT_TRUE(threaded.salvage(damaged.bytes));
    EXPECT_EQ(threaded.result, bench.result);
    EXPECT_TRUE(threaded.output() == output) << "the output differs with other threads";
    EXPECT_EQ(threaded.log, bench.log);
    EXPECT_EQ(threaded.reports, bench.reports);
    return outcome;
}

// Offsets spread over the whole archive: headers, names, data and the central directory.
size_t pickOffset(size_t size, uint32_t seed) {
    return static_cast<size_t>((uint64_t{seed} * 2654435761u) % (size == 0 ? 1 : size));
}

// Every kind of damage from the generator, `seeds` times each at offsets spread by `spread`,
// over `original`.
void damageEveryWay(const Original& original, const std::vector<DamageKind>& kinds, uint32_t seeds,
                    uint32_t spread) {
    const size_t size = original.archive.size();
    size_t runs = 0;
    size_t expectedWhole = 0;
    for (DamageKind kind : kinds) {
        for (uint32_t seed = 1; seed <= seeds; ++seed) {
            Damage damage{kind, pickOffset(size, seed * spread + static_cast<uint32_t>(kind)),
                          1 + (seed * 13) % 64, seed};
            if (kind == DamageKind::kBitFlips) damage.length = 1 + seed % 8;
            if (kind == DamageKind::kDestroyLocalHeader) {
                damage.offset = original.entries[seed % original.entries.size()].offset;
            }
            DamagedRun outcome = salvageDamaged(original, applyDamage(original.archive, damage));
            expectedWhole += outcome.expectedWhole;
            ++runs;
        }
    }
    // The rule for what must survive is not so cautious that it excuses everything.
    EXPECT_GT(expectedWhole, runs * 3);
}

TEST(DamagedArchives, EveryKindOfDamageKeepsWhatSurvived) {
    damageEveryWay(
        buildOriginal(),
        {DamageKind::kTruncate, DamageKind::kOverwrite, DamageKind::kInsert, DamageKind::kDelete,
         DamageKind::kBitFlips, DamageKind::kJunkBefore, DamageKind::kJunkAfter,
         DamageKind::kConcatenated, DamageKind::kDestroyLocalHeader},
        12, 7);
}

// The same damage over entries whose sizes are known only from their descriptors.
TEST(DamagedArchives, EveryKindOfDamageKeepsWhatSurvivedOfStreamedEntries) {
    damageEveryWay(buildOriginal(0, true),
                   {DamageKind::kTruncate, DamageKind::kOverwrite, DamageKind::kInsert,
                    DamageKind::kDelete, DamageKind::kBitFlips, DamageKind::kJunkBefore,
                    DamageKind::kJunkAfter, DamageKind::kDestroyLocalHeader},
                   8, 11);
}

TEST(DamagedArchives, JunkAroundAndASecondCopyLoseNothing) {
    Original original = buildOriginal();
    const size_t decodable = original.entries.size();
    for (DamageKind kind :
         {DamageKind::kJunkBefore, DamageKind::kJunkAfter, DamageKind::kConcatenated}) {
        DamagedArchive damaged = applyDamage(original.archive, Damage{kind, 0, 333, 9});
        DamagedRun outcome = salvageDamaged(original, damaged);
        size_t copies = kind == DamageKind::kConcatenated ? 2 : 1;
        EXPECT_EQ(outcome.expectedWhole, decodable * copies) << damaged.description;
        EXPECT_EQ(outcome.salvaged.size(), original.entries.size() * copies) << damaged.description;
    }
}

TEST(DamagedArchives, DamageInsideOneEntryLeavesTheOthersWhole) {
    Original original = buildOriginal();
    for (size_t victim = 0; victim < original.entries.size(); ++victim) {
        const OriginalEntry& entry = original.entries[victim];
        if (entry.content.size() < 40) continue;
        size_t dataStart = entry.offset + kLocalHeaderBytes + entry.name.size();
        size_t dataBytes = entry.recordBytes - kLocalHeaderBytes - entry.name.size();
        for (DamageKind kind : {DamageKind::kOverwrite, DamageKind::kInsert}) {
            DamagedArchive damaged =
                applyDamage(original.archive, Damage{kind, dataStart + dataBytes / 2, 16, 5});
            DamagedRun outcome = salvageDamaged(original, damaged);
            // Only the damaged entry may be excused.
            EXPECT_GE(outcome.expectedWhole, original.entries.size() - 1) << damaged.description;
        }
    }
}

TEST(DamagedArchives, ALargeDamagedArchiveStaysWithinItsTimeBudget) {
    Original original = buildOriginal(3 << 20);
    for (DamageKind kind : {DamageKind::kBitFlips, DamageKind::kDelete}) {
        Damage damage{kind, original.archive.size() / 3, 100, 21};
        salvageDamaged(original, applyDamage(original.archive, damage));
    }
}

}  // namespace
}  // namespace zipsalvage::testing

namespace zipsalvage::testing {
namespace {

// An imploded entry whose data runs out mid-stream: explode reads into the 10 bytes that follow,
// which are the next entry's local header.
TEST(DamagedArchives, AnEntryThatReadsPastItsDataDoesNotHideTheNext) {
    Bytes imploded = {3, 0xF5, 0xF5, 0xF5, 0xF5, 3, 0xF5, 0xF5, 0xF5, 0xF5};  // two 6-bit trees
    Bytes noise = makeRandom(40, 3);
    imploded.insert(imploded.end(), noise.begin(), noise.end());
    TestEntry cutShort{"cut-short.txt", imploded, 6};
    cutShort.uncompressedSize = 100000;
    TestEntry intact{"intact.txt", makeText(500, 4)};
    RunBench bench;
    ASSERT_TRUE(bench.salvage(buildArchive({cutShort, intact})));
    Bytes output = bench.output();
    std::vector<fuzz::CheckedEntry> salvaged;
    ASSERT_EQ(fuzz::checkSalvagedArchive(output.data(), output.size(), &salvaged), "");
    ASSERT_EQ(salvaged.size(), 2u);
    EXPECT_EQ(salvaged[1].name, "intact.txt");
    EXPECT_EQ(salvaged[1].content, intact.data);
}

}  // namespace
}  // namespace zipsalvage::testing
