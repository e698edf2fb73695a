// The resync target: the input chooses a valid deflate or Deflate64 stream (as the
// generated-stream target does) and one piece of damage to it (a span of zeros, of one repeated
// byte, of the input's own bytes, or a flipped bit); the search behind damage and the flipped-bit
// repair run over it. Where the damage is the span of equal bytes the search looks for, what it
// hands back must be the stream's content at every byte it does not list as unknown; a repair
// must give the content whole; and every run must end within its bounds.
//
// Input: a mode byte (bit 0: a longer stream; bit 1: Deflate64; bits 2-3: the damage kind; bit
// 4: the generated content deflated again by zlib at level 1 + bits 5-7, a writer that keeps
// the longest-match rule, so that damage without a run is put where it breaks the rule), the
// damage's place (16 bits, a share of the stream) and length (16 bits), the fill byte, then the
// generator's choices.
#include <algorithm>
#include <vector>

#include "core/crc32.h"
#include "extract/inflate_repair.h"
#include "extract/inflate_resync.h"
#include "fuzz/archive_check.h"
#include "fuzz/deflate_stream_generator.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

enum : uint8_t { kModeLong = 0x01, kModeDeflate64 = 0x02, kModeZlib = 0x10 };
enum DamageKind : uint8_t { kZeros, kRepeatedByte, kInputBytes, kFlippedBit };

struct Damage {
    size_t at = 0;
    size_t length = 0;
};

// True when the damage is a span of one byte value that the search takes for the damage: the
// first of the longest runs of 8 or more equal bytes holds it. Only then is it sure to be
// found; random bytes, or a short span beside a longer intact run, may not be.
bool damageIsTheLongestRun(const std::vector<uint8_t>& stream, const Damage& damage) {
    size_t bestStart = 0;
    size_t bestLength = 0;
    for (size_t at = 0; at < stream.size();) {
        size_t end = at + 1;
        while (end < stream.size() && stream[end] == stream[at]) ++end;
        if (end - at > bestLength) {
            bestLength = end - at;
            bestStart = at;
        }
        at = end;
    }
    const size_t damageEnd = std::min(damage.at + damage.length, stream.size());
    return bestLength >= 8 && bestStart <= damage.at && damageEnd <= bestStart + bestLength;
}

Damage damageStream(std::vector<uint8_t>& stream, FuzzInput& header, uint8_t mode,
                    const uint8_t* input, size_t inputSize) {
    if (stream.empty()) return {};
    const auto kind = static_cast<DamageKind>((mode >> 2) & 3);
    const size_t at = static_cast<size_t>(header.le16()) * stream.size() / 65536;
    const size_t length = 1 + header.le16() % 4096;
    const uint8_t fill = header.byte();
    if (kind == kFlippedBit) {
        stream[at] ^= static_cast<uint8_t>(1u << (fill % 8));
        return {};
    }
    for (size_t index = at; index < stream.size() && index < at + length; ++index) {
        if (kind == kZeros) {
            stream[index] = 0;
        } else if (kind == kRepeatedByte) {
            stream[index] = fill;
        } else {
            stream[index] = input[index % inputSize];
        }
    }
    if (kind == kInputBytes) return {};
    return Damage{at, length};
}

}  // namespace

int fuzzInflateResync(const uint8_t* data, size_t size) {
    FuzzInput header{data, size};
    const uint8_t mode = header.byte();
    std::vector<uint8_t> damageHeader;
    for (int index = 0; index < 5; ++index) damageHeader.push_back(header.byte());
    ChoiceSource choices(header.rest(), header.restSize());
    const size_t target =
        (mode & kModeLong) ? 32768 + choices.below(2 * 32768) : choices.below(4096);
    const bool zlibMade = (mode & kModeZlib) != 0;
    const bool deflate64 = !zlibMade && (mode & kModeDeflate64) != 0;
    GeneratedStream generated = generateDeflateStream(
        choices, deflate64 ? DeflateVariant::kDeflate64 : DeflateVariant::kDeflate, target);
    const std::vector<uint8_t>& content = generated.content;
    std::vector<uint8_t> stream =
        zlibMade ? zlibDeflate(content.data(), content.size(), 1 + (mode >> 5)) : generated.stream;
    FuzzInput damage{damageHeader.data(), damageHeader.size()};
    const Damage span = damageStream(stream, damage, mode, data, size);
    const bool located = span.length > 0 && damageIsTheLongestRun(stream, span);

    DeflateSalvage salvage;
    if (salvageDeflate(stream.data(), stream.size(), content.size(), true, deflate64, salvage)) {
        FUZZ_CHECK(salvage.length <= content.size(), "the search gave more than the recorded size");
        FUZZ_CHECK(!salvage.placed || salvage.length == content.size(),
                   "a placed suffix does not end at the recorded size");
        for (uint64_t at = 0; located && at < salvage.length; ++at) {
            const bool right =
                salvage.marks[at] != 0 ? salvage.bytes[at] == 0 : salvage.bytes[at] == content[at];
            FUZZ_CHECK(right, "the search handed back a byte that is not the content's");
            if (!right) break;
        }
    }
    const uint32_t crc = ~crc32Update(0xFFFFFFFFu, content.data(), content.size());
    std::vector<uint8_t> repaired;
    uint64_t flippedBit = 0;
    if (repairFlippedBit(stream, content.size(), crc, deflate64, repaired, flippedBit)) {
        FUZZ_CHECK(repaired == content, "a repair gave other bytes than the content");
        FUZZ_CHECK(flippedBit / 8 < stream.size(), "a repair names a bit outside the data");
    }
    return 0;
}

}  // namespace zipsalvage::fuzz
