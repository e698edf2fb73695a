// Where damage shows in a deflate stream that carries no span of equal bytes (random bytes
// written over it, a flipped bit): writers that search for the longest match (zlib, Info-ZIP)
// never end a match where the next byte would have extended it, and decoding garbage breaks
// that rule within a few hundred bits. A stream whose intact start keeps the rule has its damage
// shortly before where it is first broken; one whose writer does not keep it (an optimal parse)
// breaks it from its first kilobyte, and its damage cannot be told this way.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "extract/inflate_span.h"

namespace zipsalvage {

// A writer that keeps a rule shows no sign of it in an intact stream; one that does not shows
// one within its first few hundred bytes (about 10 to 100 per KiB of compressed data). A
// stream this long that keeps it is taken to come from a writer that does.
inline constexpr uint64_t kBitsKeepingTheRule = 8192;

// How signs are read. Writers that search for the longest match keep the longest-match rule
// after every match: a pair of signs is damage (a lone one may be a flush point, where a match
// was cut), and behind the damage every sign is. Those that search their chains nearest first
// (zlib and Info-ZIP at lazy levels, 7-Zip) keep the nearest-match rule too (see
// inflate_nearest.h), and garbage breaks the two together about six times as soon as the first
// alone; zlib's fast levels keep it over the positions they chain. A writer with an optimal parse
// (7-Zip's) ends a match early now and then for a cheaper one after it, but seldom before a
// literal: only a literal after a match is checked, and signs count only in clusters.
struct SignRule {
    bool longest = true;         // the longest-match rule is checked
    bool literalsOnly = false;   // ... only on a literal after a match
    bool nearest = false;        // the nearest-match rule is checked
    size_t signsForDamage = 2;   // within windowBits: the first sign of damage
    size_t signsForGarbage = 1;  // within windowBits, behind a start: still garbage
    uint64_t windowBits = 8192;
    // How far before the first sign of damage the damage may lie: the output of these bits is
    // not believed. In two samples of 600 random overwrites per writer (bench/huffman/sign_gaps),
    // the first sign under the longest-match rule came a median 290 bits behind the damage's
    // start, in 99% within 8700, at worst 1.4 Mbit; under both rules a median 55, in 99% within
    // 1000, at worst 5400; under the nearest-match rule alone (7-Zip) a median 95, in 99%
    // within 1400, at worst 87 kbit. Each margin is a trade: what it holds back is lost, with
    // what later matches copy from it.
    uint64_t bitsBeforeSign = 16384;
    // The output of this many bits behind the last sign on a start's chain is not believed
    // either: garbage may go on a little without one.
    uint64_t bitsPastLastSign = 8192;
    // For the nearest-match rule: no position inside a match longer than this but its first
    // is a place the writer could have copied from (0: every position is). zlib's fast levels
    // chain the insides of matches up to 4, 5 or 6 bytes long.
    uint32_t longestChained = 0;
};
inline constexpr SignRule kLongestMatchRule{true, false, false, 2, 1, 8192, 16384, 8192};
inline constexpr SignRule kBothRulesRule{true, false, true, 2, 1, 4096, 4096, 4096};
inline constexpr SignRule kFastBothRulesRule{true, false, true, 2, 1, 4096, 4096, 4096, 4};
inline constexpr SignRule kNearestMatchRule{false, false, true, 2, 1, 4096, 4096, 4096};
inline constexpr SignRule kLiteralRule{true, true, false, 3, 2, 4096, 16384, 8192};
// The rules signs are read by, tried in turn until one that the stream's intact start keeps.
inline constexpr SignRule kSignRules[] = {kBothRulesRule, kFastBothRulesRule, kLongestMatchRule,
                                          kNearestMatchRule, kLiteralRule};

enum class SignSearch : uint8_t {
    kFound,
    kNone,        // no sign: the stream ran to its end as it should, or ran out
    kRuleBroken,  // a sign too early to tell damage from a writer that does not keep the rule
    kLoneSign,    // the stream ran to its end as it should, with signs too far apart for damage
};

// Signs this many windows apart or closer, one after another, are taken for one chain. Garbage
// that fell back in step with the stream soon (short damage) shows a lone sign at once and later
// ones only where matches copy from it, thousands of bits apart, before two come within a
// window; an intact stream shows none, or a lone one at a flush point.
inline constexpr uint64_t kSignChainWindows = 4;

// Sets `decoder` to check the rules `rule` reads, with `index` for the nearest-match rule over
// output from the decoder's position on.
void checkRules(SpanDecoder& decoder, const SignRule& rule, NearestIndex& index);

// Decodes `decoder` (from its start, bytes kept, into bytes of its own) until signs tell damage
// as `rule` reads them (from the stream's start, past kBitsKeepingTheRule, a copy from before
// the first byte tells it alone), or decoding fails, and gives where in `signBit` (with kLoneSign,
// the first sign) and, with kFound, where the chain of signs that led up to it began in `chainBit`.
SignSearch findFirstSign(SpanDecoder decoder, const SignRule& rule, uint64_t& signBit,
                         uint64_t* chainBit = nullptr);

// True when `decoder` (from its start, bytes kept) decodes up to `stopBit`, at least
// kBitsKeepingTheRule bits, with no sign as `rule` reads them.
bool keepsRuleUpTo(SpanDecoder decoder, const SignRule& rule, uint64_t stopBit);

// The signs of garbage on a start's chain, as bitPastLastSign reads them.
struct ChainSigns {
    uint64_t pastSign = 0;            // the bit behind the last sign, or the chain's start
    uint64_t headerBit = UINT64_MAX;  // the first block header behind it (UINT64_MAX: none)
    uint64_t pastSignOutput = 0;      // the output offset at pastSign
    uint64_t lastSignBit = 0;         // where the last sign's symbol begins
    uint64_t lastSignFrom = 0;        // the output offset it was read against
    // As the first three, for the sign before the last (the chain's start when there is one).
    uint64_t pastPrevious = 0;
    uint64_t previousHeaderBit = UINT64_MAX;
    uint64_t pastPreviousOutput = 0;
    uint64_t count = 0;  // the signs that counted
};

// Decodes `decoder` (a placed suffix, bytes kept) to its end; at each sign of garbage (as `rule`
// reads them), all it decoded so far is made unknown and decoding goes on. Gives the bit behind
// the last one, or the decoder's start when it shows none, and the rest in `signs`. Garbage
// decoded before a start reaches the true stream shows signs every few hundred bits while it
// lasts; the true stream shows none once what it would copy from the garbage is unknown.
// (Bytes and marks from the decoder's start on are left as scratch.)
uint64_t bitPastLastSign(SpanDecoder decoder, const SignRule& rule, ChainSigns& signs);

}  // namespace zipsalvage
