// Where damage shows in a deflate stream that carries no span of equal bytes (random bytes
// written over it, a flipped bit): writers that search for the longest match (zlib, Info-ZIP)
// never end a match where the next byte would have extended it, and decoding garbage breaks
// that rule within a few hundred bits. A stream whose intact start keeps the rule has its damage
// shortly before where it is first broken; one whose writer does not keep it (an optimal parse)
// breaks it from its first kilobyte, and its damage cannot be told this way.
#pragma once

#include <cstdint>
#include <vector>

#include "extract/inflate_span.h"

namespace zipsalvage {

// How far before the first sign of damage the damage may lie: the output of these bits is not
// believed.
inline constexpr uint64_t kBitsBeforeSign = 16384;
// A writer that keeps the rule has no sign in an intact stream; one that does not shows one
// within its first few hundred bytes (about 10 to 100 per KiB of compressed data). A stream
// this long that keeps it is taken to come from a writer that does.
inline constexpr uint64_t kBitsKeepingTheRule = 8192;

// Decodes `decoder` (from its start, bytes kept, scratch bytes of the decoder's own) until the
// rule is broken twice within a short stretch, or decoding fails, and gives where in `signBit`.
// False when the stream runs to its end, runs out, or shows its first sign too early to tell
// damage from a writer that does not keep the rule.
bool findFirstSign(SpanDecoder decoder, uint64_t& signBit);

// Decodes `decoder` (a placed suffix, bytes kept) to its end; at each sign of damage it shows,
// all it decoded so far is made unknown and decoding goes on. Gives the bit behind the last
// sign, or the decoder's start when it shows none. Garbage decoded before a start reaches the
// true stream shows a sign every few hundred bits while it lasts; the true stream shows none once
// what it would copy from the garbage is unknown. (Bytes and marks from the decoder's start on
// are left as scratch.)
uint64_t bitPastLastSign(SpanDecoder decoder);

}  // namespace zipsalvage
