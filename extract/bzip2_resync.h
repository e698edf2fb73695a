// The bzip2 blocks behind a damaged one, decoded and put at their offsets (see bzip2.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "extract/extract_context.h"

namespace zipsalvage {

// Goes on after libbz2 rejected a block: `start` holds the entry's data as far as libbz2 was
// given it, the context delivers the rest. The blocks are decoded one by one: what libbz2 wrote
// for the damaged block is overwritten with zeros, the blocks behind the last damaged one are
// written so that the last ends at the recorded size (where it is known and can be right), and
// the zeros between are listed in context.unknown. The result is still damage; `failed` is
// returned when no block fails on its own (the damage lies elsewhere).
DecodeResult resyncBzip2(ExtractContext& context, const std::vector<uint8_t>& start,
                         DecodeResult failed);

}  // namespace zipsalvage
