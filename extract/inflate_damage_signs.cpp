// Signs of damage behind a search's start: see inflate_damage_signs.h.
#include "extract/inflate_damage_signs.h"

#include <algorithm>

namespace zipsalvage {
namespace {

// A lone sign may be a writer's flush point (a match cut where its input paused); damage
// shows a second one, or fails, within this many bits.
constexpr uint64_t kSecondSignBits = 8192;
constexpr uint64_t kSymbolsPerStep = 1;

// Decodes one symbol; true while decoding goes on.
bool step(SpanDecoder& decoder, SpanStop& stop) {
    decoder.symbolBudget = kSymbolsPerStep;
    stop = runSpan(decoder);
    return stop == SpanStop::kWorkSpent;
}

}  // namespace

bool findFirstSign(SpanDecoder decoder, uint64_t& signBit) {
    decoder.checkLongest = true;
    decoder.stopBit = UINT64_MAX;
    uint64_t firstSign = UINT64_MAX;
    uint64_t loneSign = UINT64_MAX;  // the last sign not followed by a second one
    SpanStop stop = SpanStop::kWorkSpent;
    while (step(decoder, stop)) {
        if (decoder.brokenAtBit == UINT64_MAX) {
            if (firstSign != UINT64_MAX && decoder.bit > firstSign + kSecondSignBits) {
                loneSign = firstSign;
                firstSign = UINT64_MAX;
            }
            continue;
        }
        if (firstSign != UINT64_MAX) break;
        firstSign = decoder.brokenAtBit;
        decoder.brokenAtBit = UINT64_MAX;
        if (firstSign < kBitsKeepingTheRule) return false;
    }
    if (firstSign == UINT64_MAX) {
        // The stream failed, ran out, or ended short of the data's end or of the recorded size
        // without a pair of signs: the damage lies before the last lone sign, or else before
        // where decoding stopped. One that ends as it should has its damage anywhere.
        if (stop == SpanStop::kStreamEnd && spanEndByte(decoder) == decoder.dataBytes &&
            decoder.outputPos == decoder.outputLimit) {
            return false;
        }
        firstSign = loneSign != UINT64_MAX ? loneSign : decoder.bit;
    }
    if (firstSign < kBitsKeepingTheRule) return false;
    signBit = firstSign;
    return true;
}

uint64_t bitPastLastSign(SpanDecoder decoder) {
    const uint64_t start = decoder.outputPos;
    decoder.checkLongest = true;
    decoder.brokenAtBit = UINT64_MAX;
    decoder.lastDistance = 0;  // the match before the start is not this chain's
    uint64_t pastSign = decoder.bit;
    SpanStop stop = SpanStop::kWorkSpent;
    while (step(decoder, stop)) {
        if (decoder.brokenAtBit == UINT64_MAX) continue;
        decoder.brokenAtBit = UINT64_MAX;
        pastSign = decoder.bit;
        const auto from = static_cast<std::ptrdiff_t>(start);
        const auto to = static_cast<std::ptrdiff_t>(decoder.outputPos);
        std::fill(decoder.bytes->begin() + from, decoder.bytes->begin() + to, uint8_t{0});
        std::fill(decoder.marks->begin() + from, decoder.marks->begin() + to, uint8_t{1});
    }
    return pastSign;
}

}  // namespace zipsalvage
