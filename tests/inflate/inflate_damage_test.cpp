// inflate on damaged and unusual streams: the output keeps exactly what decoded before the
// damage, never anything made up after it, and the run always ends.
#include <gtest/gtest.h>

#include <random>
#include <string>

#include "core/memory_blocks.h"
#include "extract/huffman_decoders.h"
#include "tests/inflate/inflate_test_support.h"

namespace zipsalvage::testing {
namespace {

Bytes text(const std::string& characters) { return Bytes(characters.begin(), characters.end()); }

Bytes prefix(const Bytes& bytes, size_t size) {
    return Bytes(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

// A complete literal/length code over all 288 symbols: 224 of 8 bits, 64 of 9 bits.
Lengths fullLitLenLengths() {
    Lengths lengths(288, 8);
    for (int symbol = 224; symbol < 288; ++symbol) lengths[symbol] = 9;
    return lengths;
}

// --- Data that runs out ---------------------------------------------------------------------

// Cut anywhere, as a short recorded size or as an archive that ends: the output is exactly
// what zlib decodes from the same bytes (every symbol completed before the cut), and the
// result is failure.
TEST(InflateDamage, TruncatedStreamsKeepTheirDecodablePrefix) {
    Bytes original = makeText(150000, 21);
    Bytes noise = makeRandom(20000, 22);
    original.insert(original.begin() + 60000, noise.begin(), noise.end());
    for (int level : {0, 1, 9}) {
        Bytes stream = zlibDeflate(original, level);
        for (size_t cut = 0; cut < stream.size(); cut += 1 + stream.size() / 53) {
            Bytes cutStream = prefix(stream, cut);
            std::string what = "level " + std::to_string(level) + " cut " + std::to_string(cut);
            Bytes decodable = zlibInflatePrefix(cutStream);
            for (bool archiveEnds : {false, true}) {
                InflateRun run =
                    archiveEnds ? runInflate(cutStream, stream.size()) : runInflate(cutStream);
                ASSERT_EQ(run.result, 0) << what;
                ASSERT_EQ(run.output.size(), decodable.size()) << what;
                ASSERT_TRUE(run.output == decodable) << what;
            }
        }
    }
}

// A match whose distance lies beyond the data must not be completed from filler bits.
TEST(InflateDamage, MatchCutBeforeItsDistanceIsDropped) {
    BitWriter out;
    out.bits(1, 1);  // BFINAL
    out.bits(1, 2);  // fixed
    // Six 9-bit literals, so that the length code ends the last byte exactly.
    for (uint32_t literal = 0xC0; literal < 0xC6; ++literal) out.fixedSymbol(literal);
    out.fixedSymbol(257);  // length 3; its distance code is cut off
    ASSERT_EQ(out.bitCount, 64u);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, (Bytes{0xC0, 0xC1, 0xC2, 0xC3, 0xC4, 0xC5}));
}

// The last code ends with the archive's last byte, and the root lookup wants more bits than
// remain: the missing bits are not part of the code, so the stream is complete.
TEST(InflateDamage, StreamEndingFlushWithTheArchiveDecodesItsLastSymbol) {
    Lengths litLen(257, 0);
    litLen[256] = 1;
    litLen['a'] = 2;
    litLen['b'] = 3;
    litLen['c'] = 3;
    BitWriter out;
    DynamicCode code = writeDynamicBlock(out, true, litLen, Lengths(1, 0));
    Bytes expected;
    while (out.bitCount % 8 != 7) {
        code.litLen(out, 'b');
        expected.push_back('b');
    }
    code.litLen(out, 256);  // 1 bit; the root is 3 bits wide
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// A stored block cut short keeps the bytes that arrived and makes up none.
TEST(InflateDamage, StoredBlockCutShortKeepsOnlyRealBytes) {
    Bytes original = makeText(5000, 23);
    Bytes stream = zlibDeflate(original, 0);
    for (size_t cut : {size_t{6}, size_t{100}, size_t{4000}}) {
        InflateRun run = runInflate(prefix(stream, cut));
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.output, prefix(original, cut - 5));
        // The archive ends instead: every byte it holds arrives all the same.
        run = runInflate(prefix(stream, cut), stream.size());
        EXPECT_EQ(run.result, 0);
        EXPECT_EQ(run.output, prefix(original, cut - 5));
    }
}

// After a complete non-final block the next header comes from what follows the entry (here a
// local header): a stored header whose LEN and NLEN disagree.
TEST(InflateDamage, MissingFinalBlockFailsAfterKeepingCompleteBlocks) {
    BitWriter out;
    out.bits(0, 1);  // BFINAL clear
    out.bits(1, 2);  // fixed
    for (char letter : std::string("kept")) out.fixedSymbol(static_cast<uint8_t>(letter));
    out.fixedSymbol(256);
    size_t entrySize = out.bytes.size();
    Bytes archive = out.bytes;
    const uint8_t header[] = {'P', 'K', 3, 4, 20, 0, 0, 0, 8, 0, 0x11, 0x22, 0x33, 0x44};
    archive.insert(archive.end(), header, header + sizeof header);
    InflateRun run = runInflate(archive, static_cast<int64_t>(entrySize));
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text("kept"));
}

// --- Damage inside the data -----------------------------------------------------------------

// Random bit and byte damage: never a crash or hang, and everything zlib decodes before the
// damaged byte comes out unchanged.
TEST(InflateDamage, FlippedBitsAndBytesKeepWhatPrecedesThem) {
    Bytes original = makeText(120000, 24);
    Bytes binary = makeRandom(8000, 25);
    original.insert(original.begin() + 50000, binary.begin(), binary.end());
    std::mt19937 random(26);
    for (int level : {1, 6, 9}) {
        Bytes stream = zlibDeflate(original, level);
        for (int round = 0; round < 60; ++round) {
            Bytes damaged = stream;
            size_t position = random() % damaged.size();
            if (round % 2 == 0) {
                damaged[position] ^= static_cast<uint8_t>(1u << (random() % 8));
            } else {
                damaged[position] = static_cast<uint8_t>(random());
            }
            size_t before = zlibInflatePrefix(prefix(stream, position)).size();
            InflateRun run = runInflate(damaged);
            std::string what = "level " + std::to_string(level) + " at " + std::to_string(position);
            ASSERT_GE(run.output.size(), before) << what;
            ASSERT_TRUE(std::equal(original.begin(), original.begin() + before, run.output.begin()))
                << what;
        }
    }
}

// Pure noise, and noise after a valid dynamic header: every run ends, within the buffers.
TEST(InflateDamage, NoiseNeverCrashesOrHangs) {
    std::mt19937 random(29);
    Bytes header = zlibDeflate(makeText(3000, 30), 9);
    header.resize(60);  // the dynamic header and a few codes
    for (int round = 0; round < 300; ++round) {
        Bytes noise = makeRandom(1 + random() % 5000, static_cast<uint32_t>(round));
        if (round % 2 == 1) noise.insert(noise.begin(), header.begin(), header.end());
        InflateRun run = runInflate(noise);
        EXPECT_TRUE(run.result == 0 || run.result == 1);
    }
}

TEST(InflateDamage, InvalidBlockHeadersFailAfterEarlierBlocks) {
    // Block type 3 after a block of literals.
    BitWriter reserved;
    reserved.bits(0, 1);
    reserved.bits(1, 2);
    reserved.fixedSymbol('o');
    reserved.fixedSymbol('k');
    reserved.fixedSymbol(256);
    reserved.bits(1, 1);
    reserved.bits(3, 2);  // BTYPE 3
    reserved.bits(0, 16);
    InflateRun run = runInflate(reserved.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text("ok"));

    // A stored block whose NLEN is not the complement of LEN.
    BitWriter stored;
    stored.bits(0, 1);
    stored.bits(1, 2);
    stored.fixedSymbol('o');
    stored.fixedSymbol('k');
    stored.fixedSymbol(256);
    stored.bits(1, 1);
    stored.bits(0, 2);
    stored.alignToByte();
    stored.bits(3, 16);       // LEN
    stored.bits(0xFFFB, 16);  // NLEN of 4, not 3
    stored.bits('x', 8);
    stored.bits('y', 8);
    stored.bits('z', 8);
    run = runInflate(stored.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text("ok"));
}

// Symbols 286 and 287 have fixed codes but no meaning.
TEST(InflateDamage, LengthSymbols286And287AreInvalid) {
    for (uint32_t symbol : {286u, 287u}) {
        BitWriter out;
        out.bits(1, 1);
        out.bits(1, 2);
        out.fixedSymbol('a');
        out.fixedSymbol('b');
        out.fixedSymbol(symbol);
        out.bits(0, 5);
        out.fixedSymbol(256);
        InflateRun run = runInflate(out.bytes);
        EXPECT_EQ(run.result, 0) << symbol;
        EXPECT_EQ(run.output, text("ab")) << symbol;
    }
    // Also in a dynamic block that gives them lengths (HLIT 288).
    BitWriter out;
    DynamicCode code = writeDynamicBlock(out, true, fullLitLenLengths(), Lengths(32, 5));
    code.litLen(out, 'a');
    code.litLen(out, 287);
    code.litLen(out, 256);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text("a"));
}

// HLIT 288 and HDIST 32 are accepted, and distance symbols 30 and 31 decode like 29.
TEST(InflateDamage, DistanceSymbols30And31ReachUpTo32768Back) {
    BitWriter out;
    DynamicCode code = writeDynamicBlock(out, true, fullLitLenLengths(), Lengths(32, 5));
    Bytes expected;
    for (int index = 0; index < 32768; ++index) {
        auto byte = static_cast<uint8_t>((index * 7 + index / 251) & 0xFF);
        code.litLen(out, byte);
        expected.push_back(byte);
    }
    code.litLen(out, 258);  // length 4
    code.distance(out, 30);
    out.bits(0, 13);  // distance 24577
    for (int index = 0; index < 4; ++index) expected.push_back(expected[expected.size() - 24577]);
    code.litLen(out, 258);
    code.distance(out, 31);
    out.bits(8191, 13);  // distance 32768
    for (int index = 0; index < 4; ++index) expected.push_back(expected[expected.size() - 32768]);
    code.litLen(out, 256);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// Before 32768 bytes exist, a distance may reach before the entry's first byte: it copies
// zeros, the same on every run.
TEST(InflateDamage, DistanceBeforeTheFirstByteCopiesZeros) {
    BitWriter out;
    out.bits(1, 1);
    out.bits(1, 2);
    out.fixedSymbol('h');
    out.fixedSymbol('i');
    out.fixedSymbol(258);  // length 4
    out.code(4, 5);        // distance symbol 4: 5 + 1 extra bit
    out.bits(1, 1);        // distance 6
    out.fixedSymbol(256);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, (Bytes{'h', 'i', 0, 0, 0, 0}));
}

TEST(InflateDamage, BadCodeLengthSequencesFailWithoutOutput) {
    // A repeat running past HLIT + HDIST lengths: 257 + 1 lengths, the last 18 asks for 11.
    BitWriter pastEnd;
    std::vector<CodeLengthSymbol> symbols(250, CodeLengthSymbol{8, 0});
    symbols.push_back({18, 0});  // 11 zeros where 8 remain
    writeDynamicHeader(pastEnd, true, 257, 1, symbols);
    pastEnd.bits(0, 32);
    InflateRun run = runInflate(pastEnd.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output.empty());

    // Over-subscribed literal/length lengths: 257 codes of 8 bits.
    BitWriter crowded;
    writeDynamicHeader(crowded, true, 257, 1,
                       std::vector<CodeLengthSymbol>(258, CodeLengthSymbol{8, 0}));
    crowded.bits(0, 32);
    run = runInflate(crowded.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output.empty());

    // An incomplete literal/length code: only the end-of-block symbol and one literal, 2 bits.
    BitWriter sparse;
    std::vector<CodeLengthSymbol> sparseSymbols = {{2, 0}, {18, 127}, {18, 106}, {2, 0}, {0, 0}};
    writeDynamicHeader(sparse, true, 257, 1, sparseSymbols);
    sparse.bits(0, 32);
    run = runInflate(sparse.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_TRUE(run.output.empty());
}

// A repeat of the previous length before any length was read repeats 0.
TEST(InflateDamage, RepeatAsTheFirstCodeLengthRepeatsZero) {
    Lengths litLen = fullLitLenLengths();
    // Symbols 0..2 get no code; 282..287 take 8 bits instead of 9 to keep the code complete.
    litLen[0] = litLen[1] = litLen[2] = 0;
    for (int symbol = 282; symbol < 288; ++symbol) litLen[symbol] = 8;
    std::vector<CodeLengthSymbol> symbols = {{16, 0}};  // three times "the previous length"
    for (size_t symbol = 3; symbol < litLen.size(); ++symbol)
        symbols.push_back({litLen[symbol], 0});
    symbols.push_back({1, 0});
    BitWriter out;
    writeDynamicHeader(out, true, 288, 1, symbols);
    std::vector<uint32_t> codes = canonicalCodes(litLen);
    out.code(codes['Q'], litLen['Q']);
    out.code(codes[256], litLen[256]);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, text("Q"));
}

// No distance codes at all: a block of literals decodes; a length in it fails.
TEST(InflateDamage, BlockWithoutDistanceCodesHoldsOnlyLiterals) {
    Lengths litLen(257, 0);
    litLen['a'] = 1;
    litLen[256] = 1;
    {
        BitWriter out;
        DynamicCode code = writeDynamicBlock(out, true, litLen, Lengths(1, 0));
        code.litLen(out, 'a');
        code.litLen(out, 'a');
        code.litLen(out, 256);
        InflateRun run = runInflate(out.bytes);
        EXPECT_EQ(run.result, 1);
        EXPECT_EQ(run.output, text("aa"));
    }
    litLen.push_back(2);  // HLIT 258, so that 257 is a length symbol
    litLen[256] = 2;
    BitWriter out;
    DynamicCode code = writeDynamicBlock(out, true, litLen, Lengths(1, 0));
    code.litLen(out, 'a');
    code.litLen(out, 257);
    code.litLen(out, 256);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 0);
    EXPECT_EQ(run.output, text("a"));
}

// A block that ends exactly as the window fills: the next block starts at window position 0
// and its matches reach back across the boundary.
TEST(InflateDamage, BlockEndingAtAFullWindow) {
    Bytes first = makeText(32768, 27);
    BitWriter out;
    out.bits(0, 1);
    out.bits(0, 2);  // stored
    out.alignToByte();
    out.bits(32768, 16);
    out.bits(0xFFFF ^ 32768, 16);
    for (uint8_t byte : first) out.bits(byte, 8);
    out.bits(1, 1);
    out.bits(1, 2);  // fixed
    out.fixedSymbol('Z');
    out.fixedSymbol(258);  // length 4
    out.code(0, 5);        // distance 1
    out.fixedSymbol(265);  // length 11 + 1 extra bit
    out.bits(0, 1);
    out.code(29, 5);  // distance 24577 + 13 extra bits: 32768 back
    out.bits(32768 - 24577, 13);
    out.fixedSymbol(256);
    Bytes expected = first;
    for (int index = 0; index < 5; ++index) expected.push_back('Z');
    for (int index = 0; index < 11; ++index) expected.push_back(expected[expected.size() - 32768]);
    InflateRun run = runInflate(out.bytes);
    EXPECT_EQ(run.result, 1);
    EXPECT_EQ(run.output, expected);
}

// --- The run itself -------------------------------------------------------------------------

TEST(InflateRunFlags, CancelAndExhaustedMemoryFailWithNothingLeftBehind) {
    Bytes original = makeText(100000, 28);
    Bytes stream = zlibDeflate(original, 6);
    {
        DecoderBench bench(stream, 0);
        requestCancel(bench.flags);
        EXPECT_FALSE(ranToEnd(zipsalvage::inflate(bench.context)));
        EXPECT_TRUE(bench.output().empty());
    }
    // The work area, then each table or list in turn (leaks show under the sanitizer build).
    for (int failing = 1; failing <= 12; ++failing) {
        DecoderBench bench(stream, 0);
        failAllocationAfter(failing);
        int result = ranToEnd(zipsalvage::inflate(bench.context)) ? 1 : 0;
        failAllocationAfter(0);
        EXPECT_EQ(result, 0) << failing;
        EXPECT_TRUE(isPrefixOf(bench.output(), original)) << failing;
    }
}

}  // namespace
}  // namespace zipsalvage::testing

namespace zipsalvage::testing {
namespace {

// A stream of `blocks` fixed blocks (RFC 1951 3.2.6) of one literal each.
Bytes fixedBlocks(int blocks, Bytes& expected) {
    BitWriter out;
    for (int block = 0; block < blocks; ++block) {
        out.bits(block == blocks - 1 ? 1 : 0, 1);  // BFINAL
        out.bits(1, 2);                            // BTYPE 01: fixed code
        auto literal = static_cast<uint8_t>('a' + block % 26);
        out.fixedSymbol(literal);
        out.fixedSymbol(256);
        expected.push_back(literal);
    }
    out.alignToByte();
    return out.bytes;
}

// Whether inflate decodes `stream` to `expected` when the `failing`-th allocation fails.
bool decodesDespiteFailure(const Bytes& stream, const Bytes& expected, int failing) {
    DecoderBench bench(stream, static_cast<uint32_t>(expected.size()));
    failAllocationAfter(failing);
    int result = ranToEnd(zipsalvage::inflate(bench.context)) ? 1 : 0;
    failAllocationAfter(0);
    return result == 1 && bench.output() == expected;
}

// A fixed block can be ten bits long, so hostile data can hold nearly one per byte: the fixed
// code's tables are built once per stream (building them per block made 10 MB of empty fixed
// blocks take 40 seconds). Counted through allocations: 300 blocks take no more than one.
TEST(InflateRunFlags, ManyFixedBlocksBuildTheFixedCodeOnce) {
    Bytes oneExpected;
    Bytes one = fixedBlocks(1, oneExpected);
    int allocations = 1;
    while (allocations < 10000 && !decodesDespiteFailure(one, oneExpected, allocations + 1)) {
        ++allocations;
    }
    Bytes manyExpected;
    Bytes many = fixedBlocks(300, manyExpected);
    ASSERT_EQ(zlibInflatePrefix(many), manyExpected);
    EXPECT_TRUE(decodesDespiteFailure(many, manyExpected, allocations + 1));
}

}  // namespace
}  // namespace zipsalvage::testing
