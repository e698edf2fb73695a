// The line-ending conversions and their undo, the strict deflate walk, and the entry search:
// every reading the conversions leave ambiguous is found, good streams walk to their end, and a
// search that cannot succeed stops within its bound.
#include <gtest/gtest.h>

#include <algorithm>

#include "core/zip_format.h"
#include "extract/deflate_probe.h"
#include "extract/text_transfer.h"
#include "extract/text_transfer_search.h"
#include "tests/support/test_files.h"
#include "tests/support/zlib_oracle.h"
#include "tests/textmode/transfer_data.h"

namespace zipsalvage {
namespace {

using testing::Bytes;

constexpr LineEndChange kChanges[] = {LineEndChange::kEveryLfToCrLf, LineEndChange::kLoneLfToCrLf,
                                      LineEndChange::kCrLfToLf};
constexpr LineEndChange kAmbiguousChanges[] = {LineEndChange::kLoneLfToCrLf,
                                               LineEndChange::kCrLfToLf};

// Bytes dense in CR, LF, CR LF and CR CR LF, with runs of other bytes between.
Bytes lineEndRich(size_t size, uint32_t seed) {
    Bytes random = testing::makeRandom(size, seed);
    for (uint8_t& byte : random) {
        uint8_t pick = byte & 7;
        byte = pick == 0   ? kCarriageReturn
               : pick == 1 ? kLineFeed
                           : static_cast<uint8_t>(byte | 0x20);
    }
    return random;
}

// The converted offsets of the LFs whose CR the undo must put back: where the original held a CR
// LF that the default reading would not restore (unix2dos leaves a CR LF that looks converted;
// dos2unix takes the CR of a CR LF without a CR before it).
std::vector<uint64_t> crsToPutBack(LineEndChange change, const Bytes& original) {
    std::vector<uint64_t> at;
    uint64_t converted = 0;
    for (size_t index = 0; index < original.size(); ++index) {
        bool crBefore = index > 0 && original[index - 1] == kCarriageReturn;
        bool crBeforeThat = index > 1 && original[index - 2] == kCarriageReturn;
        if (original[index] == kLineFeed) {
            if (change == LineEndChange::kEveryLfToCrLf) ++converted;
            if (change == LineEndChange::kLoneLfToCrLf) {
                if (!crBefore) ++converted;
                if (crBefore && !crBeforeThat) at.push_back(converted);
            }
            if (change == LineEndChange::kCrLfToLf && crBefore) {
                --converted;
                if (!crBeforeThat) at.push_back(converted);
            }
        }
        ++converted;
    }
    return at;
}

TEST(LineEndUndo, TheDefaultWithTheOriginalsPlacesGivesTheOriginalBack) {
    for (uint32_t seed = 1; seed <= 20; ++seed) {
        Bytes original = lineEndRich(3000 + seed * 37, seed);
        for (LineEndChange change : kChanges) {
            Bytes converted = applyLineEndChange(change, original.data(), original.size());
            LineEndUndo undo{change, crsToPutBack(change, original)};
            ASSERT_EQ(undoAll(undo, converted.data(), converted.size()), original)
                << "seed " << seed << " change " << static_cast<int>(change);
            // Every CR that goes back is at one of the places the default undo lists.
            UndoneBytes undone;
            undoByDefault(change, converted.data(), converted.size(), kNoByteBefore, undone);
            for (uint64_t lf : undo.crPutBackAt) {
                EXPECT_TRUE(std::binary_search(undone.convertedAt.begin(), undone.convertedAt.end(),
                                               static_cast<uint32_t>(lf)))
                    << "place at " << lf << " not listed";
            }
            // In pieces of any size, a CR held across a boundary included, the same.
            Bytes pieces;
            UndoCursor cursor;
            for (size_t at = 0; at < converted.size();) {
                size_t size = std::min<size_t>(1 + (at * 7 + seed) % 13, converted.size() - at);
                undoPiece(undo, cursor, converted.data() + at, size, pieces);
                at += size;
            }
            finishUndo(cursor, pieces);
            EXPECT_EQ(pieces, original);
        }
    }
}

TEST(LineEndUndo, APrefixEndsAtTheBytesWantedAndLeavesTheNextRecordAlone) {
    // Data that ends with a CR, then a header: the CR is the data's own, not a pair's.
    Bytes original = {'a', kLineFeed, 'b', kCarriageReturn, 'P', 'K', 3, 4};
    for (LineEndChange change : kChanges) {
        Bytes converted = applyLineEndChange(change, original.data(), original.size());
        LineEndUndo undo{change, {}};
        UndoCursor cursor;
        Bytes out;
        size_t used = undoPrefix(undo, cursor, converted.data(), converted.size(), 4, out);
        EXPECT_EQ(Bytes(out.begin(), out.begin() + 4),
                  Bytes(original.begin(), original.begin() + 4));
        EXPECT_EQ(converted[used], 'P') << static_cast<int>(change);
    }
}

uint64_t walkToEnd(DeflateProbe& probe) {
    ProbeStop stop = runProbe(probe, UINT64_MAX);
    return stop == ProbeStop::kEnded ? probeConsumedBytes(probe) : 0;
}

TEST(DeflateProbe, ZlibStreamsOfEveryLevelAndStrategyWalkToTheirEnd) {
    Bytes mixed = testing::makeText(150000, 3);
    Bytes noise = testing::makeRandom(40000, 4);
    mixed.insert(mixed.begin() + 60000, noise.begin(), noise.end());
    const Bytes inputs[] = {testing::makeText(300000, 1), testing::makeRandom(70000, 2), mixed,
                            Bytes(100000, 'z'), Bytes{}};
    for (const Bytes& input : inputs) {
        for (int level : {1, 3, 6, 9}) {
            for (int strategy : {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_RLE, Z_HUFFMAN_ONLY}) {
                Bytes stream = testing::zlibDeflate(input, level, strategy);
                stream.resize(stream.size() + kProbeInputPadding);
                for (ProbeRules rules : {ProbeRules::kZlibStyle, ProbeRules::kFormat}) {
                    DeflateProbe probe;
                    startProbe(probe, stream.data(), stream.size() - kProbeInputPadding, rules,
                               input.size());
                    ASSERT_EQ(walkToEnd(probe), stream.size() - kProbeInputPadding)
                        << "level " << level << " strategy " << strategy << " size "
                        << input.size();
                    ASSERT_EQ(probe.spot.outputSize, input.size());
                    EXPECT_TRUE(std::equal(input.begin(), input.end(), probe.output.begin()));
                }
            }
        }
    }
}

TEST(DeflateProbe, ARewoundWalkGoesTheSameWayAndALostByteStopsIt) {
    Bytes input = testing::vocabularyText(120000, 5);
    Bytes binary = testing::structuredBinary(60000, 6);
    input.insert(input.begin() + 50000, binary.begin(), binary.end());
    Bytes stream = testing::zlibDeflate(input, 6);
    const size_t length = stream.size();
    stream.resize(length + kProbeInputPadding);
    DeflateProbe probe;
    startProbe(probe, stream.data(), length, ProbeRules::kZlibStyle, input.size());
    ASSERT_EQ(walkToEnd(probe), length);
    for (uint64_t offset = 0; offset < length; offset += length / 17) {
        rewindProbe(probe, offset);
        EXPECT_LE((probe.spot.bitPos + 7) / 8, offset);
        ASSERT_EQ(walkToEnd(probe), length) << "rewound to " << offset;
        EXPECT_TRUE(std::equal(input.begin(), input.end(), probe.output.begin()));
    }
    // What the search stands on: a lost byte (the rest moved up, a filler at the end) stops
    // the zlib-style walk before the stream's end nearly always.
    int stopped = 0;
    constexpr int kTries = 40;
    for (int tryIndex = 0; tryIndex < kTries; ++tryIndex) {
        Bytes lost(stream.begin(), stream.begin() + static_cast<long>(length));
        lost.erase(lost.begin() + static_cast<long>((tryIndex * 7919u) % (length - 8)));
        lost.push_back(kCarriageReturn);
        lost.resize(length + kProbeInputPadding);
        DeflateProbe broken;
        startProbe(broken, lost.data(), length, ProbeRules::kZlibStyle, input.size());
        if (runProbe(broken, UINT64_MAX) == ProbeStop::kBroken) ++stopped;
    }
    EXPECT_GE(stopped, kTries * 85 / 100);
}

TransferredEntry entryFor(uint16_t method, const Bytes& data, const Bytes& content) {
    TransferredEntry entry;
    entry.method = method;
    entry.compressedSize = data.size();
    entry.uncompressedSize = content.size();
    entry.crc32 = testing::crc32Of(content);
    return entry;
}

// Converts `data` (followed by a stand-in for the next header), undoes it as the entry and says
// whether it came back whole and exact; with `layoutKnows`, the count of CRs is given.
void expectUndone(LineEndChange change, const TransferredEntry& base, const Bytes& data,
                  bool layoutKnows, const char* what) {
    Bytes followed = data;
    const Bytes nextHeader = {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0};
    followed.insert(followed.end(), nextHeader.begin(), nextHeader.end());
    Bytes converted = applyLineEndChange(change, followed.data(), followed.size());
    TransferredEntry entry = base;
    if (layoutKnows) entry.crsToPutBack = static_cast<int64_t>(crsToPutBack(change, data).size());
    EntryUndo undo =
        undoEntryTransfer(change, converted.data(), converted.size(), kNoByteBefore, entry);
    ASSERT_EQ(undo.verdict, EntryUndoVerdict::kWhole)
        << what << ", change " << static_cast<int>(change) << ", layout " << layoutKnows;
    EXPECT_EQ(undo.data, data);
    EXPECT_EQ(converted[undo.convertedLength], 'P');
    uint64_t bound = kSearchWorkFactor * (data.size() + base.uncompressedSize) +
                     kSearchAllowanceBytes + 2 * (data.size() + base.uncompressedSize);
    EXPECT_LE(undo.work, bound) << what;
}

TEST(EntryUndo, StoredDataWithOriginalCrLfsComesBackWhole) {
    for (int planted = 0; planted <= 3; ++planted) {
        Bytes data = testing::makeRandom(60000, 10 + planted);
        // Binary with lone LFs, at most `planted` CR LF pairs.
        for (size_t index = 1; index < data.size(); ++index) {
            if (data[index] == kLineFeed && data[index - 1] == kCarriageReturn)
                data[index - 1] = 'x';
        }
        for (int pair = 0; pair < planted; ++pair) {
            size_t at = 1000 + static_cast<size_t>(pair) * 17000;
            data[at] = kCarriageReturn;
            data[at + 1] = kLineFeed;
        }
        for (LineEndChange change : kAmbiguousChanges) {
            for (bool layoutKnows : {true, false}) {
                expectUndone(change, entryFor(kMethodStored, data, data), data, layoutKnows,
                             "stored binary");
            }
        }
    }
    // Text whose every line ends with CR LF: all places but none take the other reading.
    Bytes text = testing::makeText(20000, 11);
    Bytes crLfText = applyLineEndChange(LineEndChange::kLoneLfToCrLf, text.data(), text.size());
    for (LineEndChange change : kAmbiguousChanges) {
        for (bool layoutKnows : {true, false}) {
            expectUndone(change, entryFor(kMethodStored, crLfText, crLfText), crLfText, layoutKnows,
                         "CR LF text");
        }
    }
}

size_t crLfPairs(const Bytes& bytes) {
    size_t pairs = 0;
    for (size_t index = 1; index < bytes.size(); ++index) {
        pairs += bytes[index] == kLineFeed && bytes[index - 1] == kCarriageReturn ? 1 : 0;
    }
    return pairs;
}

TEST(EntryUndo, DeflatedDataWithCrLfPairsInItsStreamComesBackWhole) {
    // Streams of zlib's with one to three CR LF pairs of their own, of text and of binaries.
    int found = 0;
    for (uint32_t seed = 20; seed < 400 && found < 8; ++seed) {
        Bytes content = seed % 2 ? testing::vocabularyText(40000 + seed * 700, seed)
                                 : testing::structuredBinary(40000 + seed * 900, seed);
        Bytes stream = testing::zlibDeflate(content, seed % 4 < 2 ? 6 : 9);
        size_t pairs = crLfPairs(stream);
        if (pairs == 0 || pairs > 3) continue;
        ++found;
        for (LineEndChange change : kAmbiguousChanges) {
            for (bool layoutKnows : {true, false}) {
                expectUndone(change, entryFor(kMethodDeflated, stream, content), stream,
                             layoutKnows, "deflated");
            }
        }
    }
    EXPECT_GE(found, 6) << "too few streams with CR LF pairs to test";
}

TEST(EntryUndo, ASearchThatCannotSucceedStopsWithinItsBound) {
    Bytes content = testing::makeRandom(200000, 90);
    for (uint16_t method : {kMethodStored, kMethodDeflated}) {
        Bytes data = method == kMethodStored ? content : testing::zlibDeflate(content, 6);
        Bytes converted =
            applyLineEndChange(LineEndChange::kLoneLfToCrLf, data.data(), data.size());
        TransferredEntry entry = entryFor(method, data, content);
        entry.crc32 ^= 1;  // no reading has this CRC-32
        EntryUndo undo = undoEntryTransfer(LineEndChange::kLoneLfToCrLf, converted.data(),
                                           converted.size(), kNoByteBefore, entry);
        EXPECT_EQ(undo.verdict, EntryUndoVerdict::kGaveUp);
        EXPECT_TRUE(undo.crPutBackAt.empty());
        uint64_t ordinary = data.size() + content.size();
        EXPECT_LE(undo.work, kSearchWorkFactor * ordinary + kSearchAllowanceBytes + 2 * ordinary);
    }
}

TEST(EntryUndo, WhatCannotBeDecodedIsSettledOnlyByTheLayout) {
    Bytes data = testing::makeRandom(5000, 91);
    data[100] = kCarriageReturn;
    data[101] = kLineFeed;
    Bytes converted = applyLineEndChange(LineEndChange::kLoneLfToCrLf, data.data(), data.size());
    TransferredEntry entry = entryFor(kMethodDeflated, data, data);
    entry.flags = kFlagEncrypted;
    EntryUndo undo = undoEntryTransfer(LineEndChange::kLoneLfToCrLf, converted.data(),
                                       converted.size(), kNoByteBefore, entry);
    EXPECT_EQ(undo.verdict, EntryUndoVerdict::kNotSearched);
    // One CR back among several places says nothing; as many as there are places does.
    size_t places = std::count(data.begin(), data.end(), kLineFeed);
    ASSERT_GT(places, 1u);
    entry.crsToPutBack = static_cast<int64_t>(places);
    undo = undoEntryTransfer(LineEndChange::kLoneLfToCrLf, converted.data(), converted.size(),
                             kNoByteBefore, entry);
    EXPECT_EQ(undo.verdict, EntryUndoVerdict::kSettledByLayout);
    EXPECT_EQ(undo.crPutBackAt.size(), places);

    TransferredEntry huge = entryFor(kMethodDeflated, data, data);
    huge.compressedSize = kMaxSearchedCompressed + 1;
    EXPECT_EQ(undoEntryTransfer(LineEndChange::kLoneLfToCrLf, converted.data(), converted.size(),
                                kNoByteBefore, huge)
                  .verdict,
              EntryUndoVerdict::kTooBig);
    TransferredEntry cut = entryFor(kMethodStored, data, data);
    EXPECT_EQ(
        undoEntryTransfer(LineEndChange::kLoneLfToCrLf, converted.data(), 1000, kNoByteBefore, cut)
            .verdict,
        EntryUndoVerdict::kCutShort);
}

}  // namespace
}  // namespace zipsalvage
