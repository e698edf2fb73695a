// The search behind damage in a deflate stream. A span of equal bytes (a zeroed sector, a hole
// in a download) is where the damage lies: runs of 4 or more equal bytes are rare in
// Huffman-coded data. Other damage (random bytes, a flipped bit) is put where decoding first
// breaks the rules of matching that the stream's intact start keeps (inflate_damage_signs.h).
// Before the damage, the stream decodes as it was written; behind it, decoding is picked up again
// (see inflate_resync_start.h). The output behind the damage is then put so that it ends at the
// recorded size; what lies between is unknown, written as zeros and listed, as are bytes copied
// from it by later matches.
#include "extract/inflate_resync.h"

#include <algorithm>

#include "core/deflate_format.h"
#include "extract/huffman_decoders.h"
#include "extract/inflate_damage_signs.h"
#include "extract/inflate_repair.h"
#include "extract/inflate_resync_start.h"
#include "extract/inflate_sign_source.h"
#include "extract/inflate_span.h"

namespace zipsalvage {
namespace {

// Runs of 4 equal bytes turn up in intact Huffman-coded data now and then; of 8, hardly ever.
constexpr uint64_t kShortestDamageRun = 8;
constexpr uint64_t kFillRunBytes = 16;
// Symbols the whole search may decode, at least and per byte of data: it stays within about a
// second per MiB of compressed data.
constexpr uint64_t kLeastSearchSymbols = uint64_t{1} << 17;
constexpr uint64_t kSearchSymbolsPerByte = 12;
// Output written unknown behind the first believed bit where decoding behind the damage reads a
// block header: the damaged block may have ended inside the damage, and its codes then decode
// the next block's bits as garbage until a block end lands on a true header (or a header is
// found that is not one), joining the true stream there. A chain that stays in the damaged
// block's codes to the stream's end cannot: that block is the last, and continues behind the
// damage, so every start in the window is one of its symbols or joins one. In a stream that
// keeps a rule of matching, that garbage shows signs, and the signs set what is believed; in
// any stream, where another reading of those bits runs to the end too, what is believed starts
// where the readings meet (checkInBlockStart).
constexpr uint64_t kDistrustedBytes = 512;
// Behind a start inside the damaged block, a header its chain reads this near the join is where
// the output is first believed. 512 bytes may be a few symbols only (a Deflate64 match copies up
// to 65,538 bytes): garbage that lands on a true header by chance must end in an end-of-block
// code exactly there, and the farther it runs first, the less likely it is to (at most about once
// in e times the bits it ran); the output of this many bits is the price.
constexpr uint64_t kDistrustedBits = 4096;

struct DamageSpan {
    uint64_t start = 0;  // bytes
    uint64_t end = 0;
};

// The longest run of at least kShortestDamageRun equal bytes (the first of equal length).
bool findDamageRun(const uint8_t* data, uint64_t size, DamageSpan& span) {
    uint64_t best = 0;
    for (uint64_t at = 0; at < size;) {
        uint64_t end = at + 1;
        while (end < size && data[end] == data[at]) ++end;
        if (end - at >= kShortestDamageRun && end - at > best) {
            best = end - at;
            span = DamageSpan{at, end};
        }
        at = end;
    }
    return best > 0;
}

// Where the search works: the prefix is decoded up to `prefixEndBit`, and a start behind the
// damage is looked for from `resumeBit` on. Damage told by its signs alone (`bySigns`) has no
// known end: the garbage it decodes to may go on behind any start, so what a start decodes is
// believed only well behind the last sign it shows.
struct DamagePlace {
    uint64_t prefixEndBit = 0;
    uint64_t resumeBit = 0;
    bool bySigns = false;
    // The stream before the damage keeps `rule`: a start's chain that breaks it is decoding
    // garbage (the damaged block's codes over a later block's bits, when its end was lost in
    // the damage), and its output is believed only past the last sign.
    bool keepsRule = false;
    SignRule rule = kLongestMatchRule;  // how the signs are read
};

// A run of equal bytes may end a span of other garbage (a torn write, a sector half
// overwritten): the output of these bits before the run is not believed either. More would
// cost much (what later matches copy from it is lost too); a longer span of garbage shows
// signs of its own as a rule.
constexpr uint64_t kBitsBeforeRun = 64;
// A start behind damage told by its signs is looked for this far behind the first sign, in turn:
// the garbage may break the damaged block's codes (a false end of block) before it ends.
constexpr uint64_t kSignResumeOffsets[] = {0, 2048, 8192, 32768};

// The prefix decoded up to the damage (into `salvage`, whose bytes and marks are zero); false
// when the stream does not reach it as written (its damage lies elsewhere).
bool decodePrefix(SpanDecoder& prefix, DamagePlace& place) {
    prefix.stopBit = place.prefixEndBit;
    prefix.checkLongest = true;
    const bool reached = runSpan(prefix) == SpanStop::kLimit;
    place.keepsRule = place.bySigns || (prefix.brokenAtBit == UINT64_MAX &&
                                        place.prefixEndBit >= kBitsKeepingTheRule);
    prefix.checkLongest = false;
    return reached;
}

// Zeros and no marks again, after a decoding that is not kept.
void clearSalvage(DeflateSalvage& salvage) {
    std::fill(salvage.bytes.begin(), salvage.bytes.end(), uint8_t{0});
    std::fill(salvage.marks.begin(), salvage.marks.end(), uint8_t{0});
}

// The damage and the prefix before it: a run of equal bytes the stream reaches as written, or
// else the signs decoding shows. False when neither tells where the damage lies.
bool locateDamage(SpanDecoder& prefix, DeflateSalvage& salvage, DamagePlace& place) {
    const SpanDecoder start = prefix;
    DamageSpan run;
    if (findDamageRun(prefix.data, prefix.dataBytes, run)) {
        const uint64_t runBit = run.start * 8;
        place =
            DamagePlace{runBit > kBitsBeforeRun ? runBit - kBitsBeforeRun : 0, run.end * 8, false};
        const bool reached = decodePrefix(prefix, place);
        // Random bytes just before the run (the run a part of the damage) break the rule there:
        // the prefix then ends as far before the first sign as one told by signs alone. A sign
        // farther back is a writer's flush point as a rule, and no damage.
        const uint64_t before = place.rule.bitsBeforeSign;
        const uint64_t nearRun = runBit > before ? runBit - before : 0;
        if (reached && prefix.brokenAtBit >= std::max(kBitsKeepingTheRule, nearRun) &&
            prefix.brokenAtBit != UINT64_MAX) {
            const uint64_t sign = prefix.brokenAtBit;
            prefix = start;
            clearSalvage(salvage);
            place.prefixEndBit = sign > before ? sign - before : 0;
            place.bySigns = true;
            return decodePrefix(prefix, place);
        }
        if (reached) {
            // Chains behind the run are checked by the strongest rule the prefix keeps.
            place.keepsRule = false;
            for (const SignRule& rule : kSignRules) {
                if (rule.literalsOnly || !keepsRuleUpTo(start, rule, place.prefixEndBit)) continue;
                place.rule = rule;
                place.keepsRule = true;
                break;
            }
            return true;
        }
        prefix = start;
        clearSalvage(salvage);
    }
    uint64_t signBit = 0;
    uint64_t chainBit = 0;
    SignSearch search = SignSearch::kRuleBroken;
    for (const SignRule& rule : kSignRules) {
        place.rule = rule;
        search = findFirstSign(start, place.rule, signBit, &chainBit);
        if (search != SignSearch::kRuleBroken) break;
    }
    // A stream that decodes as it should to the recorded size is searched only when its CRC-32
    // is wrong and no flip mends it: the damage is there, and where signs are garbage's one by
    // one, the first shows where. Such garbage decoded much like the stream (short damage after
    // which decoding fell back in step), and its first sign comes later behind its start than
    // most: the margin is doubled.
    const bool lone = search == SignSearch::kLoneSign && place.rule.signsForGarbage == 1;
    const bool found = search == SignSearch::kFound || lone;
    // The search for a sign decoded into the salvage's bytes: what lies behind the prefix must be
    // zeros again.
    clearSalvage(salvage);
    if (!found) return false;
    const uint64_t before = place.rule.bitsBeforeSign * (lone ? 2 : 1);
    // Where a sign is garbage's on its own, the damage lies before the first of the chain that
    // led up to the two that told it.
    const uint64_t firstBit =
        search == SignSearch::kFound && place.rule.signsForGarbage == 1 ? chainBit : signBit;
    place.prefixEndBit = firstBit > before ? firstBit - before : 0;
    place.resumeBit = signBit;
    place.bySigns = true;
    // Damage after which decoding fell back in step shows its first sign only where a copy of
    // the few bytes it decoded to breaks the rule, which may be far behind it: the copies lead
    // back to it, and the prefix's output is believed only up to the margin before the earliest
    // byte they reach. The prefix still decodes to where it would (the damaged block's codes are
    // needed behind it); what later matches copy from the bytes not believed is not either.
    uint64_t distrustFrom = UINT64_MAX;
    findSignSource(start, place.rule, firstBit, before, distrustFrom);
    clearSalvage(salvage);  // it decoded into the salvage's bytes
    if (!decodePrefix(prefix, place)) return false;
    if (distrustFrom < prefix.outputPos) {
        const auto from = static_cast<std::ptrdiff_t>(distrustFrom);
        const auto to = static_cast<std::ptrdiff_t>(prefix.outputPos);
        std::fill(salvage.bytes.begin() + from, salvage.bytes.begin() + to, uint8_t{0});
        std::fill(salvage.marks.begin() + from, salvage.marks.begin() + to, uint8_t{1});
    }
    return true;
}

bool findResyncStart(const SpanDecoder& prefix, const DamagePlace& place, uint64_t room,
                     ResyncStart& start) {
    uint64_t budget = std::max(kLeastSearchSymbols, kSearchSymbolsPerByte * prefix.dataBytes);
    if (!prefix.atHeader) {
        for (uint64_t offset : kSignResumeOffsets) {
            if (!place.bySigns) {
                if (resyncInBlock(prefix, place.resumeBit, room, budget, start)) {
                    return checkInBlockStart(prefix, place.resumeBit, room, budget, start);
                }
                break;
            }
            // Behind damage told by signs, each place may take half the work left: where the
            // damage is long, the starts behind the first sign lie in it, and each decodes
            // garbage up to where its output passes the room, a decoding of the stream each;
            // with all the work, they left none for the places past the damage.
            uint64_t share = budget / 2;
            const uint64_t kept = budget - share;
            const bool found = resyncInBlock(prefix, place.resumeBit + offset, room, share, start);
            budget = kept + share;
            if (found) {
                return checkInBlockStart(prefix, place.resumeBit + offset, room, budget, start);
            }
        }
    }
    return resyncAtHeader(prefix.data, prefix.dataBytes, prefix.deflate64, place.resumeBit, room,
                          budget, start);
}

// The output offset `decoder` reaches at `bit`, decoding without keeping bytes.
uint64_t outputAtBit(SpanDecoder decoder, uint64_t bit) {
    decoder.stopBit = bit;
    decoder.bytes = nullptr;
    decoder.marks = nullptr;
    runSpan(decoder);
    return decoder.outputPos;
}

// The output offset from which `suffix` (placed, bytes kept) is believed, given the signs its
// chain shows.
uint64_t believedFrom(const SpanDecoder& suffix, const DamagePlace& place,
                      const ChainSigns& signs) {
    const uint64_t margin = place.rule.bitsPastLastSign;
    // A chain that decoded a later block with the damaged block's codes (its end lost in the
    // damage) may run on without a sign up to where it reads a header.
    const auto believedBit = [margin](uint64_t pastSign, uint64_t headerBit) {
        uint64_t believed = pastSign + margin;
        if (headerBit != UINT64_MAX && headerBit <= believed + margin) {
            believed = std::max(believed, headerBit);
        }
        return believed;
    };
    const uint64_t believed = outputAtBit(suffix, believedBit(signs.pastSign, signs.headerBit));
    const bool previousCounts = signs.count > 1 || (signs.count == 1 && place.bySigns);
    if (!previousCounts) return believed;
    // Garbage copies pieces of the true output, and where what it decoded is not made unknown
    // by a sign, the true stream's matches meet them by chance: a sign read against the
    // output of the margin behind the sign before (which is not believed either way), long
    // after it, may be such a one. It is set aside when the chain, with all that output
    // unknown, shows no sign behind the margin. A sign read against any other output stands:
    // that output is garbage too, whatever it looked like. Garbage may also have gone on past
    // the margin without a sign (the set-aside one its only trace), so the output is then
    // believed from twice the margin behind the sign before.
    const uint64_t previousBit = believedBit(signs.pastPrevious, signs.previousHeaderBit);
    const uint64_t previous = outputAtBit(suffix, previousBit);
    if (signs.lastSignBit < previousBit || signs.lastSignFrom < signs.pastPreviousOutput ||
        signs.lastSignFrom >= previous) {
        return believed;
    }
    SpanDecoder again = suffix;
    again.distrustedUntil = std::max(again.distrustedUntil, previous);
    ChainSigns checked;
    bitPastLastSign(again, place.rule, checked);
    const bool setAside = checked.count == 0 || checked.lastSignBit < previousBit;
    if (!setAside) return believed;
    return std::max(suffix.distrustedUntil,
                    std::min(believed, outputAtBit(suffix, previousBit + margin)));
}

// Decodes the found start's suffix so that it ends at the recorded size; false (nothing of it
// kept) when it does not decode the same way again.
bool placeSuffix(const SpanDecoder& prefix, const ResyncStart& start, const DamagePlace& place,
                 uint64_t recordedSize, DeflateSalvage& salvage) {
    const uint64_t prefixEnd = prefix.outputPos;
    const uint64_t suffixStart = recordedSize - start.suffixLength;
    // From the entry bit up to the join, only the state is wanted (the codes of the block the
    // join lies in); from the join on, the bytes go to their offsets.
    SpanDecoder suffix = prefix;
    suffix.bit = start.entryBit;
    suffix.atHeader = start.atHeader;
    suffix.bytes = nullptr;
    suffix.marks = nullptr;
    suffix.outputPos = 0;
    suffix.outputLimit = UINT64_MAX;
    suffix.stopBit = start.joinBit;
    if (start.atHeader) suffix.strictCodes = true;
    if (start.joinBit > start.entryBit && runSpan(suffix) != SpanStop::kLimit) return false;
    std::fill(salvage.marks.begin() + static_cast<std::ptrdiff_t>(prefixEnd),
              salvage.marks.begin() + static_cast<std::ptrdiff_t>(suffixStart), uint8_t{1});
    suffix.bytes = &salvage.bytes;
    suffix.marks = &salvage.marks;
    suffix.stopBit = UINT64_MAX;
    suffix.outputPos = suffixStart;
    suffix.outputLimit = recordedSize;
    // Behind a run of zeros in a stream that keeps a rule, the chain is checked by the rule's
    // signs below instead. (Behind damage told by signs, the bytes written unknown here keep
    // the check from reading the garbage's own copies as signs, which would distrust more.)
    if ((start.atHeader || start.firstHeaderBit != UINT64_MAX) &&
        (!place.keepsRule || place.bySigns)) {
        suffix.distrustedUntil = std::min(recordedSize, suffixStart + kDistrustedBytes);
        if (!start.atHeader && start.firstHeaderBit >= start.joinBit &&
            start.firstHeaderBit - start.joinBit <= kDistrustedBits) {
            suffix.distrustedUntil =
                std::max(suffix.distrustedUntil, outputAtBit(suffix, start.firstHeaderBit));
        }
    }
    if (place.keepsRule) {
        // Output is believed from bitsPastLastSign behind the last sign the start's chain shows
        // (garbage may go on a little without one), and behind damage told by its signs alone,
        // from as far behind the start.
        ChainSigns signs;
        bitPastLastSign(suffix, place.rule, signs);
        if (signs.count > 0 || place.bySigns) {
            suffix.distrustedUntil =
                std::max(suffix.distrustedUntil, believedFrom(suffix, place, signs));
        }
    }
    const SpanStop stop = runSpan(suffix);
    if (!endsAtSize(suffix, stop) || suffix.outputPos != recordedSize) {
        std::fill(salvage.bytes.begin() + static_cast<std::ptrdiff_t>(prefixEnd),
                  salvage.bytes.end(), uint8_t{0});
        std::fill(salvage.marks.begin() + static_cast<std::ptrdiff_t>(prefixEnd),
                  salvage.marks.end(), uint8_t{0});
        return false;
    }
    return true;
}

}  // namespace

bool salvageDeflate(const uint8_t* data, uint64_t size, uint64_t recordedSize, bool sizeKnown,
                    bool deflate64, DeflateSalvage& salvage) {
    // Deflate gives at most 258 bytes for a symbol of one bit or more, about 1032 bytes for a
    // byte of data; a recorded size beyond that (or the memory cap) is not believed.
    const uint64_t mostOutput = std::min<uint64_t>(size * 1032 + 1024, kResyncLargestOutput);
    const bool placeable = sizeKnown && recordedSize <= mostOutput;
    const uint64_t limit = placeable ? recordedSize : mostOutput;
    salvage.bytes.assign(static_cast<size_t>(limit), 0);
    salvage.marks.assign(static_cast<size_t>(limit), 0);
    SpanDecoder prefix = decoderOver(data, size, deflate64);
    prefix.bytes = &salvage.bytes;
    prefix.marks = &salvage.marks;
    prefix.outputLimit = limit;
    DamagePlace place;
    if (!locateDamage(prefix, salvage, place)) return false;
    prefix.brokenAtBit = UINT64_MAX;
    const uint64_t prefixEnd = prefix.outputPos;
    salvage.length = prefixEnd;
    if (!placeable) return true;
    const uint64_t room = recordedSize - prefixEnd;
    ResyncStart start;
    if (!findResyncStart(prefix, place, room, start) || start.suffixLength > room) return true;
    if (!placeSuffix(prefix, start, place, recordedSize, salvage)) return true;
    salvage.length = recordedSize;
    salvage.placed = true;
    return true;
}

namespace {

// Reads the rest of the entry's data into `held` (which has every block read so far); false
// when the archive ends first.
bool holdWholeData(ExtractContext& context, std::vector<uint8_t>& held) {
    const auto dataLength = static_cast<uint64_t>(context.dataLength);
    context.heldData = &held;
    while (held.size() < dataLength) {
        // What the current block still holds is in `held` already.
        context.delivered += static_cast<uint64_t>(context.blockFill - context.blockPos);
        context.blockPos = context.blockFill;
        uint16_t byte = 0;
        if (context.delivered >= dataLength || refillEntryBlock(context, byte) != kByteDelivered) {
            break;
        }
    }
    context.heldData = nullptr;
    if (held.size() < dataLength) return false;
    held.resize(static_cast<size_t>(dataLength));
    return true;
}

// Puts `length` bytes out over what the streaming decoder wrote, and cuts the output there.
bool writeInPlace(ExtractContext& context, const std::vector<uint8_t>& bytes, uint64_t length) {
    constexpr uint64_t kPiece = 1 << 20;
    for (uint64_t at = 0; at < length; at += kPiece) {
        auto count = static_cast<uint32_t>(std::min(kPiece, length - at));
        if (writeOutputAt(context, bytes.data() + at, static_cast<int64_t>(at), count) != count) {
            return false;
        }
    }
    return context.output.truncateAt(context.output.owner, length);
}

// The search's bytes, and its zeros listed.
bool writeSalvage(ExtractContext& context, const DeflateSalvage& salvage) {
    if (!writeInPlace(context, salvage.bytes, salvage.length)) return false;
    for (uint64_t at = 0; at < salvage.length;) {
        if (salvage.marks[static_cast<size_t>(at)] == 0) {
            ++at;
            continue;
        }
        uint64_t end = at;
        while (end < salvage.length && salvage.marks[static_cast<size_t>(end)] != 0) ++end;
        markUnknown(*context.unknown, at, end);
        at = end;
    }
    return true;
}

}  // namespace

DecodeResult inflateWithResync(ExtractContext& context, bool deflate64) {
    const bool eligible = context.unknown != nullptr && context.outputEnabled != 0 &&
                          context.lengthUnknown == 0 && context.encrypted == 0 &&
                          context.decryptBlock == nullptr && context.dataLength > 0 &&
                          static_cast<uint64_t>(context.dataLength) <= kResyncLargestData &&
                          context.output.truncateAt != nullptr;
    if (!eligible) return deflate64 ? inflateDeflate64(context) : inflate(context);
    std::vector<uint8_t> held;
    held.reserve(static_cast<size_t>(context.dataLength) + kEntryBlockBytes);
    context.heldData = &held;
    DecodeResult streamed = deflate64 ? inflateDeflate64(context) : inflate(context);
    context.heldData = nullptr;
    // A stream that ran to its end with the recorded size is left alone (its CRC-32 is judged
    // by the caller); so is one stopped by the system or the user.
    const bool damaged =
        context.knownDamaged != 0 || streamed.end == DecodeEnd::kCorruptData ||
        streamed.end == DecodeEnd::kInputEnded ||
        (streamed.end == DecodeEnd::kDone && streamed.produced != context.uncompressedSize);
    if (!damaged || shouldStop(*context.flags) || !holdWholeData(context, held)) return streamed;
    const RunFlags& flags = *context.flags;
    std::vector<uint8_t> repaired;
    uint64_t flippedBit = 0;
    // A span of 16 or more equal bytes is a fill, not a flipped bit: the search for one would
    // only spend the time the span's own search needs.
    DamageSpan run;
    const bool filled =
        findDamageRun(held.data(), held.size(), run) && run.end - run.start >= kFillRunBytes;
    if (!filled && context.crcKnown != 0 && context.repair != nullptr &&
        repairFlippedBit(held, context.uncompressedSize, context.recordedCrc, deflate64, repaired,
                         flippedBit)) {
        if (!writeInPlace(context, repaired, repaired.size())) {
            return DecodeResult{endUnlessStopped(flags, DecodeEnd::kOutputFailed), held.size(),
                                repaired.size()};
        }
        *context.repair = DataRepair{true, flippedBit / 8, static_cast<uint32_t>(flippedBit % 8)};
        return DecodeResult{endUnlessStopped(flags, DecodeEnd::kDone), held.size(),
                            repaired.size()};
    }
    DeflateSalvage salvage;
    if (!salvageDeflate(held.data(), held.size(), context.uncompressedSize, true, deflate64,
                        salvage)) {
        return streamed;
    }
    if (!writeSalvage(context, salvage)) {
        return DecodeResult{endUnlessStopped(*context.flags, DecodeEnd::kOutputFailed), held.size(),
                            salvage.length};
    }
    return DecodeResult{endUnlessStopped(*context.flags, DecodeEnd::kCorruptData), held.size(),
                        salvage.length};
}

}  // namespace zipsalvage
