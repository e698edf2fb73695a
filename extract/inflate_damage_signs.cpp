// Signs of damage behind a search's start: see inflate_damage_signs.h.
#include "extract/inflate_damage_signs.h"

#include <algorithm>
#include <deque>

#include "extract/inflate_nearest.h"

namespace zipsalvage {
namespace {

constexpr uint64_t kSymbolsPerStep = 1;

// Decodes one symbol; true while decoding goes on.
bool step(SpanDecoder& decoder, SpanStop& stop) {
    decoder.symbolBudget = kSymbolsPerStep;
    stop = runSpan(decoder);
    return stop == SpanStop::kWorkSpent;
}

}  // namespace

void checkRules(SpanDecoder& decoder, const SignRule& rule, NearestIndex& index) {
    decoder.checkLongest = rule.longest;
    decoder.checkLiteralsOnly = rule.literalsOnly;
    decoder.nearest = nullptr;
    if (!rule.nearest) return;
    resetNearestIndex(index, decoder.outputPos, rule.longestChained);
    decoder.nearest = &index;
}

SignSearch findFirstSign(SpanDecoder decoder, const SignRule& rule, uint64_t& signBit,
                         uint64_t* chainBit) {
    NearestIndex index;
    checkRules(decoder, rule, index);
    decoder.stopBit = UINT64_MAX;
    std::deque<uint64_t> recent;     // the signs within the window behind the latest
    uint64_t loneSign = UINT64_MAX;  // the last sign that left the window short of damage
    uint64_t firstSign = UINT64_MAX;
    uint64_t chainStart = UINT64_MAX;
    uint64_t lastSign = 0;
    const uint64_t chainGap = kSignChainWindows * rule.windowBits;
    const auto found = [&](uint64_t bit) {
        signBit = bit;
        const bool chained = chainStart != UINT64_MAX && bit <= lastSign + chainGap;
        if (chainBit != nullptr) *chainBit = chained ? std::min(chainStart, bit) : bit;
        return SignSearch::kFound;
    };
    // From the stream's start, a copy from before the first byte is damage whatever the rule:
    // no writer makes one (RFC 1951 3.2.2). Garbage may make one long before it breaks a rule.
    const bool fromStart = decoder.outputPos == 0 && decoder.distrustedUntil == 0 &&
                           decoder.marks != nullptr && decoder.outputLimit <= decoder.marks->size();
    SpanStop stop = SpanStop::kWorkSpent;
    while (true) {
        const uint64_t symbolBit = decoder.bit;
        const uint64_t outputBefore = decoder.outputPos;
        if (!step(decoder, stop)) break;
        while (!recent.empty() && decoder.bit > recent.front() + rule.windowBits) {
            loneSign = recent.front();
            recent.pop_front();
        }
        if (fromStart && symbolBit >= kBitsKeepingTheRule && decoder.outputPos > outputBefore &&
            (*decoder.marks)[static_cast<size_t>(outputBefore)] != 0 &&
            (recent.empty() || recent.front() >= kBitsKeepingTheRule)) {
            // Where the copy's symbol ends, as a sign is noted: a flip in its distance's
            // extra bits makes it.
            return found(!recent.empty() ? std::min(recent.front(), decoder.bit) : decoder.bit);
        }
        if (decoder.brokenAtBit == UINT64_MAX) continue;
        const uint64_t sign = decoder.brokenAtBit;
        decoder.brokenAtBit = UINT64_MAX;
        recent.push_back(sign);
        firstSign = std::min(firstSign, sign);
        if (chainStart == UINT64_MAX || sign > lastSign + chainGap) {
            chainStart = sign;
        }
        lastSign = sign;
        // Under the longest-match rule any early sign shows a writer that does not keep it.
        const bool early = recent.front() < kBitsKeepingTheRule;
        if (early && !rule.literalsOnly) return SignSearch::kRuleBroken;
        if (recent.size() < rule.signsForDamage) continue;
        if (early) return SignSearch::kRuleBroken;
        return found(recent.front());
    }
    // The stream failed, ran out, or ended short of the data's end or of the recorded size: the
    // damage lies before the first sign still in the window, or the last lone one, or else
    // before where decoding stopped. One that ends as it should has its damage anywhere, or
    // before its first sign if it is known to be damaged.
    if (stop == SpanStop::kStreamEnd && spanEndByte(decoder) == decoder.dataBytes &&
        decoder.outputPos == decoder.outputLimit) {
        signBit = firstSign;
        return firstSign == UINT64_MAX ? SignSearch::kNone : SignSearch::kLoneSign;
    }
    const uint64_t bit = !recent.empty()          ? recent.front()
                         : loneSign != UINT64_MAX ? loneSign
                                                  : decoder.bit;
    if (bit < kBitsKeepingTheRule) {
        signBit = bit;
        return SignSearch::kRuleBroken;
    }
    return found(bit);
}

bool keepsRuleUpTo(SpanDecoder decoder, const SignRule& rule, uint64_t stopBit) {
    if (stopBit < kBitsKeepingTheRule) return false;
    NearestIndex index;
    checkRules(decoder, rule, index);
    decoder.stopBit = stopBit;
    decoder.brokenAtBit = UINT64_MAX;
    return runSpan(decoder) == SpanStop::kLimit && decoder.brokenAtBit == UINT64_MAX;
}

uint64_t bitPastLastSign(SpanDecoder decoder, const SignRule& rule, ChainSigns& signs) {
    const uint64_t start = decoder.outputPos;
    NearestIndex index;
    checkRules(decoder, rule, index);
    decoder.brokenAtBit = UINT64_MAX;
    decoder.lastDistance = 0;  // the match before the start is not this chain's
    signs = ChainSigns{decoder.bit, UINT64_MAX, start, 0, 0, decoder.bit, UINT64_MAX, start, 0};
    std::deque<uint64_t> recent;
    SpanStop stop = SpanStop::kWorkSpent;
    while (true) {
        const bool header = decoder.atHeader && !decoder.ended;
        const uint64_t symbolBit = decoder.bit;
        if (!step(decoder, stop)) break;
        if (header && signs.headerBit == UINT64_MAX) signs.headerBit = symbolBit;
        if (decoder.brokenAtBit == UINT64_MAX) continue;
        recent.push_back(decoder.brokenAtBit);
        decoder.brokenAtBit = UINT64_MAX;
        while (recent.front() + rule.windowBits < recent.back()) recent.pop_front();
        if (recent.size() < rule.signsForGarbage) {
            signs.headerBit = UINT64_MAX;
            continue;
        }
        signs.pastPrevious = signs.pastSign;
        signs.previousHeaderBit = signs.headerBit;
        signs.pastPreviousOutput = signs.pastSignOutput;
        signs.headerBit = UINT64_MAX;
        signs.lastSignBit = symbolBit;
        signs.lastSignFrom = decoder.brokenFrom;
        ++signs.count;
        signs.pastSign = decoder.bit;
        signs.pastSignOutput = decoder.outputPos;
        const auto from = static_cast<std::ptrdiff_t>(start);
        const auto to = static_cast<std::ptrdiff_t>(decoder.outputPos);
        std::fill(decoder.bytes->begin() + from, decoder.bytes->begin() + to, uint8_t{0});
        std::fill(decoder.marks->begin() + from, decoder.marks->begin() + to, uint8_t{1});
    }
    return signs.pastSign;
}

}  // namespace zipsalvage
