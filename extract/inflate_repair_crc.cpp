// A trial's bytes T against the decoding's B (N bytes): both are the same before the trial's
// first offset `from`; the trial then writes its own bytes up to where it meets the decoding
// (the decoding at offset q, the trial c bytes further), and behind that it decodes the
// decoding's symbols, so T[k + c] is B[k] for a literal and a copy of T[k + c - d] for a match.
// Following a byte's copies back, it is T[e + c] for the first offset e < q its chain reaches,
// where B's is B[e]. The register over the bytes behind the meeting point therefore differs by
// the CRC of (T[e + c] xor B[e]) at every offset k >= q whose chain enters at e, and each such
// byte's place is worth x^(8(N-1-k)) in both, the two being equally long behind that point.
#include "extract/inflate_repair_crc.h"

#include <algorithm>
#include <iterator>

#include "core/crc32.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kCrcOne = 0x80000000u;  // x^0: the register holds the lowest power in bit 31
constexpr uint64_t kCheckpointBytes = 256;

uint32_t timesX(uint32_t value) {
    return (value & 1u) != 0 ? (value >> 1) ^ 0xEDB88320u : value >> 1;
}

// a * b modulo the CRC-32 polynomial.
uint32_t multiplyModCrc(uint32_t a, uint32_t b) {
    uint32_t product = 0;
    for (uint32_t power = kCrcOne; power != 0; power >>= 1) {
        if ((a & power) != 0) product ^= b;
        b = timesX(b);
    }
    return product;
}

// x^(8 count), from the squares x^(8 2^i).
uint32_t powerOfX8(const RejoinCrc& crc, uint64_t count) {
    uint32_t result = kCrcOne;
    for (size_t index = 0; count != 0; count >>= 1, ++index) {
        if ((count & 1) != 0) result = multiplyModCrc(result, crc.squares[index]);
    }
    return result;
}

// What a byte changed by `change` adds to the register where its place is worth `weight`: the
// byte's table entry times the weight. The byte's bit i stands for x^(31-i), and its table
// entry is the byte times x^8.
uint32_t weighChange(uint8_t change, uint32_t weight) {
    uint32_t power = crc32Byte(crc32Byte(crc32Byte(weight, 0), 0), 0);  // times x^24
    uint32_t product = 0;
    for (int bit = 7; bit >= 0; --bit) {
        if (((change >> bit) & 1u) != 0) product ^= power;
        power = timesX(power);
    }
    return crc32Byte(product, 0);
}

// A sum of weighed changes, kept per bit of the change: the weighing is linear in both the
// change and the weight, so each bit's weights are summed first and weighed once at the end,
// eight products in all instead of one per changed byte.
struct ChangeSum {
    uint32_t byBit[8] = {};
    void add(uint8_t change, uint32_t weight) {
        for (int bit = 0; bit < 8; ++bit) {
            byBit[bit] ^= weight & (0u - ((static_cast<uint32_t>(change) >> bit) & 1u));
        }
    }
    // Bit i of a change weighs its sum by x^(7-i) x^32 (see weighChange): by Horner's rule,
    // seven steps of x and one x^32 for all eight.
    uint32_t total() const {
        uint32_t sum = 0;
        for (int bit = 0; bit < 8; ++bit) sum = timesX(sum) ^ byBit[bit];
        for (int step = 0; step < 4; ++step) sum = crc32Byte(sum, 0);
        return sum;
    }
};

uint32_t registerBefore(const RejoinCrc& crc, uint64_t offset) {
    const uint64_t piece = offset / kCheckpointBytes;
    return crc32Update(crc.checkpoints[static_cast<size_t>(piece)],
                       crc.bytes->data() + static_cast<size_t>(piece * kCheckpointBytes),
                       static_cast<size_t>(offset % kCheckpointBytes));
}

// Calls visit(at, source) for every copied byte of the decoding in [begin, end).
template <typename Visit>
void forCopiedBytes(const RejoinCrc& crc, uint64_t begin, uint64_t end, Visit visit) {
    const std::vector<DecodedCopy>& copies = *crc.copies;
    auto copy = std::upper_bound(copies.begin(), copies.end(), begin,
                                 [](uint64_t at, const DecodedCopy& one) { return at < one.to; });
    if (copy != copies.begin()) --copy;
    for (; copy != copies.end() && copy->to < end; ++copy) {
        const uint64_t last = std::min(copy->to + copy->length, end);
        for (uint64_t at = std::max(copy->to, begin); at < last; ++at) {
            visit(at, at - copy->distance);
        }
    }
}

// What the copied byte at `at` (with its own copies) adds where the byte it copies from is read
// `sizeChange` bytes further on.
uint32_t movedCopy(const RejoinCrc& crc, uint64_t at, uint64_t source) {
    const std::vector<uint8_t>& bytes = *crc.bytes;
    const int64_t moved = static_cast<int64_t>(source) + crc.sizeChange;
    const uint8_t now = moved >= 0 && static_cast<uint64_t>(moved) < crc.total
                            ? bytes[static_cast<size_t>(moved)]
                            : uint8_t{0};
    return weighChange(static_cast<uint8_t>(now ^ bytes[static_cast<size_t>(source)]),
                       crc.weights[static_cast<size_t>(at)]);
}

// The register's change from the trial's own bytes in [from, rejoined) where the size is the
// same: each weighed with its copies behind the meeting point, not those before it.
uint32_t sameSizeChange(RejoinCrc& crc, const std::vector<uint8_t>& work, uint64_t from,
                        uint64_t rejoined) {
    crc.corrections.assign(static_cast<size_t>(rejoined - from), 0);
    forCopiedBytes(crc, from, rejoined, [&crc, from](uint64_t at, uint64_t source) {
        if (source >= from) {
            crc.corrections[static_cast<size_t>(source - from)] ^=
                crc.weights[static_cast<size_t>(at)];
        }
    });
    ChangeSum change;
    for (uint64_t at = from; at < rejoined; ++at) {
        const auto index = static_cast<size_t>(at);
        const auto byte = static_cast<uint8_t>(work[index] ^ (*crc.bytes)[index]);
        if (byte == 0) continue;
        change.add(byte, crc.weights[index] ^ crc.corrections[static_cast<size_t>(at - from)]);
    }
    return change.total();
}

}  // namespace

void prepareRejoinCrc(const std::vector<uint8_t>& bytes, uint64_t total,
                      const std::vector<DecodedCopy>& copies, int64_t sizeChange, RejoinCrc& crc) {
    crc.bytes = &bytes;
    crc.total = total;
    crc.copies = &copies;
    crc.sizeChange = sizeChange;
    const auto size = static_cast<size_t>(total);
    crc.weights.assign(size, 0);
    uint32_t power = kCrcOne;
    for (size_t at = size; at-- > 0;) {
        crc.weights[at] = power;
        power = crc32Byte(power, 0);  // times x^8
    }
    // Backwards, so that a byte's weight holds all its copies' before it is added to its source.
    for (auto copy = copies.rbegin(); copy != copies.rend(); ++copy) {
        for (uint64_t at = copy->to + copy->length; at-- > copy->to;) {
            crc.weights[static_cast<size_t>(at - copy->distance)] ^=
                crc.weights[static_cast<size_t>(at)];
        }
    }
    crc.squares[0] = crc32Byte(kCrcOne, 0);  // x^8
    for (size_t index = 1; index < std::size(crc.squares); ++index) {
        crc.squares[index] = multiplyModCrc(crc.squares[index - 1], crc.squares[index - 1]);
    }
    crc.checkpoints.clear();
    uint32_t reg = 0xFFFFFFFFu;
    for (uint64_t at = 0; at <= total; at += kCheckpointBytes) {
        crc.checkpoints.push_back(reg);
        reg = crc32Update(reg, bytes.data() + static_cast<size_t>(at),
                          static_cast<size_t>(std::min(kCheckpointBytes, total - at)));
    }
    crc.decodedRegister = crc32Update(0xFFFFFFFFu, bytes.data(), size);
    crc.crossing.clear();
    if (sizeChange == 0) return;
    // crossing[L]: over the copied bytes at k >= L whose source lies below L.
    crc.crossing.assign(size + 2, 0);
    forCopiedBytes(crc, 0, total, [&crc](uint64_t at, uint64_t source) {
        const uint32_t added = movedCopy(crc, at, source);
        crc.crossing[static_cast<size_t>(source + 1)] ^= added;
        crc.crossing[static_cast<size_t>(at + 1)] ^= added;
    });
    for (size_t at = 1; at < crc.crossing.size(); ++at) crc.crossing[at] ^= crc.crossing[at - 1];
}

uint32_t rejoinedTrialCrc(RejoinCrc& crc, const std::vector<uint8_t>& work, uint64_t from,
                          uint64_t rejoined) {
    const int64_t change = crc.sizeChange;
    if (change == 0) return ~(crc.decodedRegister ^ sameSizeChange(crc, work, from, rejoined));
    const std::vector<uint8_t>& bytes = *crc.bytes;
    // Below `cut` the trial's bytes are the decoding's moved by the change; from it up to the
    // meeting point they are the trial's own.
    const int64_t cut = static_cast<int64_t>(from) - change;
    // The trial stands at or after `from` where it meets the decoding, so the cut lies at or
    // before the meeting point.
    uint32_t behind = 0;
    uint64_t window = 0;
    if (cut > 0) {
        window = std::min(static_cast<uint64_t>(cut), rejoined);
        behind = crc.crossing[static_cast<size_t>(window)];
        forCopiedBytes(crc, window, rejoined, [&](uint64_t at, uint64_t source) {
            if (source < window) behind ^= movedCopy(crc, at, source);
        });
    }
    crc.corrections.assign(static_cast<size_t>(rejoined - window), 0);
    forCopiedBytes(crc, window, rejoined, [&crc, window](uint64_t at, uint64_t source) {
        if (source >= window) {
            crc.corrections[static_cast<size_t>(source - window)] ^=
                crc.weights[static_cast<size_t>(at)];
        }
    });
    uint32_t power = powerOfX8(crc, crc.total - rejoined);  // the place of the byte before rejoined
    const uint32_t tailPower = power;
    ChangeSum moved;
    for (uint64_t at = rejoined; at-- > window;) {
        const auto index = static_cast<size_t>(at);
        const auto byte = static_cast<uint8_t>(
            work[static_cast<size_t>(static_cast<int64_t>(at) + change)] ^ bytes[index]);
        if (byte != 0) {
            moved.add(byte, crc.weights[index] ^ power ^
                                crc.corrections[static_cast<size_t>(at - window)]);
        }
        power = crc32Byte(power, 0);
    }
    behind ^= moved.total();
    const uint32_t start = registerBefore(crc, from);
    const auto trialEnd = static_cast<uint64_t>(static_cast<int64_t>(rejoined) + change);
    const uint32_t trialPrefix = crc32Update(start, work.data() + static_cast<size_t>(from),
                                             static_cast<size_t>(trialEnd - from));
    const uint32_t decodedPrefix = crc32Update(start, bytes.data() + static_cast<size_t>(from),
                                               static_cast<size_t>(rejoined - from));
    return ~(crc.decodedRegister ^ multiplyModCrc(trialPrefix ^ decodedPrefix, tailPower) ^ behind);
}

}  // namespace zipsalvage
