// The header walk behind the listing: sizes of streamed entries from their descriptors in
// every form, and any damage to an archive walked within its bounds, always forward.
#include "engine/run/entry_listing.h"

#include <gtest/gtest.h>

#include "engine/run/salvage_run.h"
#include "tests/support/zip_builder.h"

namespace zipsalvage::testing {
namespace {

// The walk's record, not the directory reader's of the test support.
using WalkedEntry = zipsalvage::ListedEntry;

void put32(Bytes& out, uint32_t value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<uint8_t>(value >> shift));
}

// A stored entry as a streaming writer makes it: flag bit 3, no CRC-32 or sizes in the local
// header, then the data and a descriptor (APPNOTE 4.3.9) with or without its signature, with
// 4- or 8-byte sizes.
Bytes streamedRecord(const std::string& name, const Bytes& data, bool signature, bool wide) {
    TestEntry entry{name, data};
    entry.flags = 0x0008;
    entry.compressedSize = 0;
    entry.uncompressedSize = 0;
    entry.crc32 = 0;
    Bytes record = localRecord(entry);
    if (signature) put32(record, 0x08074B50);
    put32(record, crc32Of(data));
    for (int size = 0; size < 2; ++size) {
        put32(record, static_cast<uint32_t>(data.size()));
        if (wide) put32(record, 0);
    }
    return record;
}

std::vector<WalkedEntry> listed(const TempDir& dir, const Bytes& archive) {
    writeWholeFile(dir.file("a.zip"), archive);
    SalvageRun run;
    std::vector<WalkedEntry> entries;
    if (!openArchive(run, dir.file("a.zip").c_str())) return entries;
    auto keep = [](void* context, const WalkedEntry& entry) {
        static_cast<std::vector<WalkedEntry>*>(context)->push_back(entry);
    };
    EXPECT_EQ(listEntries(run.reader, run.flags, keep, &entries), ListingResult::kListed);
    return entries;
}

TEST(EntryListing, StreamedEntriesTakeTheirSizesFromTheirDescriptorsInEveryForm) {
    TempDir dir;
    Bytes archive;
    for (int form = 0; form < 4; ++form) {
        Bytes record = streamedRecord("s" + std::to_string(form), makeText(300 + form, form),
                                      form % 2 == 1, form >= 2);
        archive.insert(archive.end(), record.begin(), record.end());
    }
    std::vector<WalkedEntry> entries = listed(dir, archive);
    ASSERT_EQ(entries.size(), 4u);
    for (int form = 0; form < 4; ++form) {
        SCOPED_TRACE(form);
        EXPECT_TRUE(entries[form].sizesKnown);
        EXPECT_EQ(entries[form].sizes.compressed, 300u + form);
        EXPECT_EQ(entries[form].sizes.uncompressed, 300u + form);
        EXPECT_EQ(entries[form].crc32, crc32Of(makeText(300 + form, form)));
    }
    // Its data cut short, the last one has no descriptor: its sizes are not known.
    archive.resize(archive.size() - 30);
    entries = listed(dir, archive);
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_FALSE(entries[3].sizesKnown);
}

// Cuts and overwritten bytes all over the archive: the walk ends, lists headers at
// increasing offsets inside the archive, and (under the sanitizers) never reads out of bounds.
TEST(EntryListing, DamagedArchivesAreWalkedForwardWithinTheirBounds) {
    TempDir dir;
    Bytes archive = buildArchive({{"one.txt", makeText(200, 1)}, {"two.bin", makeRandom(150, 2)}});
    Bytes streamed = streamedRecord("three.txt", makeText(120, 3), true, false);
    archive.insert(archive.begin(), streamed.begin(), streamed.end());
    std::vector<Bytes> damaged;
    for (size_t cut = 0; cut < archive.size(); cut += 5) {
        damaged.emplace_back(archive.begin(), archive.begin() + static_cast<long>(cut));
    }
    for (size_t at = 0; at < archive.size(); at += 2) {
        damaged.push_back(archive);
        damaged.back()[at] = at % 4 == 0 ? 0x00 : 0xFF;
    }
    for (const Bytes& copy : damaged) {
        std::vector<WalkedEntry> entries = listed(dir, copy);
        int64_t previous = -1;
        for (const WalkedEntry& entry : entries) {
            ASSERT_GT(entry.offset, previous);
            ASSERT_LT(entry.offset + kLocalHeaderSize, static_cast<int64_t>(copy.size()) + 1);
            previous = entry.offset;
        }
    }
    EXPECT_EQ(listed(dir, archive).size(), 3u);
}

}  // namespace
}  // namespace zipsalvage::testing
