// Where decoding is picked up behind damage in a deflate stream: inside the damaged block, whose
// codes are known, or at the next block header; a start is believed only when decoding from it
// runs to the stream's last block ending exactly at the compressed size.
#pragma once

#include <cstdint>
#include <vector>

#include "extract/inflate_span.h"

namespace zipsalvage {

inline SpanDecoder decoderOver(const uint8_t* data, uint64_t size, bool deflate64) {
    SpanDecoder decoder;
    decoder.data = data;
    decoder.dataBytes = size;
    decoder.deflate64 = deflate64;
    return decoder;
}

inline bool endsAtSize(const SpanDecoder& decoder, SpanStop stop) {
    return stop == SpanStop::kStreamEnd && spanEndByte(decoder) == decoder.dataBytes;
}

// Where decoding is picked up behind the damage: a bit of the true stream and the state there.
// Decoding from `entryBit` (a header there when `atHeader`, else a symbol of the damaged
// block) first reaches the true stream at `joinBit`; what it decodes before is not believed.
struct ResyncStart {
    uint64_t entryBit = 0;
    bool atHeader = false;
    uint64_t joinBit = 0;
    uint64_t suffixLength = 0;             // bytes decoded from joinBit to the stream's end
    uint64_t firstHeaderBit = UINT64_MAX;  // the first block header read from entryBit on
    // Inside the damaged block: every symbol and header decoding reads from entryBit on, and
    // the bytes it gives, for checking the start against other readings.
    std::vector<SpanVisit> chain;
    uint64_t chainOutput = 0;
};

// Inside the damaged block (the codes and state of `prefix`), from `fromBit` on, the output
// behind limited to `room`; `budget` is the symbols the search may still decode.
bool resyncInBlock(const SpanDecoder& prefix, uint64_t fromBit, uint64_t room, uint64_t& budget,
                   ResyncStart& start);

// A start inside the damaged block whose chain reads a block header, checked against the other
// readings of the bits behind the damage. The damaged block's end may have been lost in it:
// its codes then decode the next block's bits as garbage, and the chain runs to the end
// whenever an end-of-block code lands on a true header by chance, or on bits read as a fixed
// header that picks up a true fixed block within a few symbols. A fixed block whose header was
// lost, or the first stored or dynamic header a search finds from `fromBit` on, is read too;
// where one runs to the end as well, the start is believed only from where the chains meet.
// False when they do not meet: two readings of all the rest disagree, one of them garbage that
// ran to the end by chance, and nothing behind the damage is believed (a header search would
// only find the other).
bool checkInBlockStart(const SpanDecoder& prefix, uint64_t fromBit, uint64_t room, uint64_t& budget,
                       ResyncStart& start);

// At the first stored or dynamic block header from `fromBit` on.
bool resyncAtHeader(const uint8_t* data, uint64_t size, bool deflate64, uint64_t fromBit,
                    uint64_t room, uint64_t& budget, ResyncStart& start);

}  // namespace zipsalvage
