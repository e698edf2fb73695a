// Where the wrong bytes behind a sign of damage came from, in a stream that decodes to its
// recorded size with the wrong CRC-32: short damage after which decoding fell back in step at
// the same output offset. There the only wrong bytes are the few the damage decoded to and the
// copies later matches make of them, and a sign shows only where such a copy breaks the
// writer's rule, often tens of thousands of bits behind the damage: no margin before the sign
// holds the damage. The copies do lead back to it.
#pragma once

#include <cstdint>

#include "extract/inflate_damage_signs.h"
#include "extract/inflate_span.h"

namespace zipsalvage {

// Decodes `decoder` (from its start, bytes kept, into bytes of its own) under `rule` until the
// sign at `signBit`, and follows the bytes that sign compared back over every copy that wrote
// them (RFC 1951 3.2.3: a copy's bytes are its source's) to the first byte each chain reaches.
// Behind damage that left the decoding in step, a byte the sign shows wrong is a copy of a
// copy ... of one the damage decoded to, so the damage lies at or before the symbol that wrote
// the earliest of those bytes, and within `marginBits` before it for damage no longer than
// that. Gives in `distrustFrom` the output offset from which the margin on is not believed. False
// (nothing told) unless the stream decodes to the data's end with exactly
// `decoder.outputLimit` bytes, and where the sign is not met.
bool findSignSource(SpanDecoder decoder, const SignRule& rule, uint64_t signBit,
                    uint64_t marginBits, uint64_t& distrustFrom);

}  // namespace zipsalvage
