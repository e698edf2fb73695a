// The stored-entry search by CRC-32 arithmetic. The CRC register is linear over GF(2): a byte b
// moves it to F(R) xor T[b], where F is a step with a zero byte and T the CRC table. Putting a CR
// back before the LF at offset q of n bytes changes the final register by
//     F^(n-q) ((F + I) R_q + T[CR]),
// R_q being the register over the first q bytes from zero; several CRs add up, each weighted by
// F^j for the CRs after it. (Taking a CR out of the all-CRs reading is the same with the weights
// turned round.) So the register of any reading is a sum over the places chosen, and the places
// that give the recorded CRC-32 are found by hashing, without building the readings.
#include <algorithm>
#include <array>
#include <unordered_map>

#include "core/crc32.h"
#include "extract/text_transfer_candidate.h"

namespace zipsalvage {
namespace {

inline constexpr int kMaxPlacesChanged = 3;
// Three places are found in pairs of places: at most this many places for that.
inline constexpr size_t kMaxPlacesForTriples = 2048;

inline constexpr uint32_t stepZero(uint32_t value) {
    return (value >> 8) ^ kCrc32Table[value & 0xFF];
}

// F^(2^j) for j = 0..63 as 32 columns each: F^n is the product of those for n's set bits.
using Gf2Matrix = std::array<uint32_t, 32>;

constexpr uint32_t applyMatrix(const Gf2Matrix& matrix, uint32_t value) {
    uint32_t result = 0;
    for (int bit = 0; value != 0; ++bit, value >>= 1) {
        if (value & 1) result ^= matrix[bit];
    }
    return result;
}

constexpr std::array<Gf2Matrix, 64> makeZeroBytePowers() {
    std::array<Gf2Matrix, 64> powers{};
    for (int bit = 0; bit < 32; ++bit) powers[0][bit] = stepZero(uint32_t{1} << bit);
    for (int power = 1; power < 64; ++power) {
        for (int bit = 0; bit < 32; ++bit) {
            powers[power][bit] = applyMatrix(powers[power - 1], powers[power - 1][bit]);
        }
    }
    return powers;
}

constexpr std::array<Gf2Matrix, 64> kZeroBytePowers = makeZeroBytePowers();

// F^count applied to `value`: the register after `count` zero bytes.
uint32_t shiftZeros(uint32_t value, uint64_t count) {
    for (int power = 0; count != 0; ++power, count >>= 1) {
        if (count & 1) value = applyMatrix(kZeroBytePowers[power], value);
    }
    return value;
}

inline constexpr uint32_t kCrTerm = kCrc32Table[kCarriageReturn];

// The weighted sums to find: places x_1 < ... < x_k with sum of F^(weight(i)) value(x_i) equal
// to `target`. Insertions weigh the i-th of k places with k - i, removals with i - 1.
struct PlaceSums {
    std::vector<uint32_t> values;   // one per place that may change
    std::vector<uint32_t> placeOf;  // the base place index of each value
    uint32_t target = 0;
    bool laterWeighsLess = true;  // insertions
};

using Solution = std::vector<uint32_t>;  // indices into values

uint32_t weighted(uint32_t value, int weight) {
    for (; weight > 0; --weight) value = stepZero(value);
    return value;
}

// Adds every solution with `count` places to `solutions`, up to two (two mean it is ambiguous).
void findSums(const PlaceSums& sums, int count, std::vector<Solution>& solutions, uint64_t& work) {
    const std::vector<uint32_t>& values = sums.values;
    const size_t size = values.size();
    auto weightOf = [&](int rank) { return sums.laterWeighsLess ? count - rank : rank - 1; };
    if (count == 0) {
        if (sums.target == 0) solutions.push_back({});
        return;
    }
    if (count == 1) {
        for (size_t index = 0; index < size && solutions.size() < 2; ++index) {
            if (values[index] == sums.target) solutions.push_back({static_cast<uint32_t>(index)});
        }
        return;
    }
    if (count == 3 && size > kMaxPlacesForTriples) return;
    // The first place of each solution from a table of the places before the later ones, with
    // how many places share the value (two of them are two solutions).
    struct First {
        uint32_t index;
        uint32_t other;  // a second place with the same value, or kNoOther
    };
    constexpr uint32_t kNoOther = UINT32_MAX;
    std::unordered_map<uint32_t, First> firstByValue;
    firstByValue.reserve(size);
    auto lookUp = [&](uint32_t wanted, Solution tail) {
        auto found = firstByValue.find(wanted);
        if (found == firstByValue.end()) return;
        Solution solution = tail;
        solution.insert(solution.begin(), found->second.index);
        solutions.push_back(solution);
        if (found->second.other != kNoOther) {
            tail.insert(tail.begin(), found->second.other);
            solutions.push_back(tail);
        }
    };
    for (size_t second = 0; second < size && solutions.size() < 2; ++second) {
        uint32_t secondTerm = weighted(values[second], weightOf(2));
        if (count == 2) {
            lookUp(sums.target ^ secondTerm, {static_cast<uint32_t>(second)});
        } else {
            for (size_t third = second + 1; third < size && solutions.size() < 2; ++third) {
                uint32_t thirdTerm = weighted(values[third], weightOf(3));
                lookUp(sums.target ^ secondTerm ^ thirdTerm,
                       {static_cast<uint32_t>(second), static_cast<uint32_t>(third)});
            }
            work += size - second;
        }
        auto [entry, added] = firstByValue.emplace(weighted(values[second], weightOf(1)),
                                                   First{static_cast<uint32_t>(second), kNoOther});
        if (!added && entry->second.other == kNoOther) {
            entry->second.other = static_cast<uint32_t>(second);
        }
    }
}

// F^-1, one zero byte taken back: the top byte of T[x] differs for every x, so it names the low
// byte the step consumed.
constexpr std::array<uint8_t, 256> makeTopByteIndex() {
    std::array<uint8_t, 256> index{};
    for (uint32_t low = 0; low < 256; ++low)
        index[kCrc32Table[low] >> 24] = static_cast<uint8_t>(low);
    return index;
}
constexpr std::array<uint8_t, 256> kTopByteIndex = makeTopByteIndex();

inline uint32_t unstepZero(uint32_t value) {
    uint8_t low = kTopByteIndex[value >> 24];
    return ((value ^ kCrc32Table[low]) << 8) | low;
}

// One pass over a reading for every count at once: each place's term weighed as if the reading
// were `length` bytes long (length + kMaxPlacesChanged for removals, whose places may lie past
// `length`; another length is a few steps of F or F^-1 away), and the register over the first
// length - kMaxPlacesChanged .. length + kMaxPlacesChanged bytes.
struct Family {
    bool removal = false;         // the all-CRs reading, CRs taken out
    std::vector<uint32_t> terms;  // F^(length - at) ((F + I) R_at + T[CR])
    std::vector<uint64_t> at;     // where each place's CR goes (insertion) or is (removal)
    std::vector<uint32_t> placeOf;
    uint32_t registers[2 * kMaxPlacesChanged + 1] = {};  // by size - length + kMaxPlacesChanged
    bool haveRegister[2 * kMaxPlacesChanged + 1] = {};
};

void readFamily(const UndoneBytes& base, uint64_t length, bool removal, Family& family,
                uint64_t& work) {
    family = Family{};
    family.removal = removal;
    const uint64_t lowest = length > kMaxPlacesChanged ? length - kMaxPlacesChanged : 0;
    const uint64_t highest = length + kMaxPlacesChanged;
    const uint64_t weighedAs = removal ? highest : length;
    auto note = [&](uint64_t readingAt, uint32_t running) {
        if (readingAt < lowest || readingAt > highest) return;
        auto slot = static_cast<size_t>(readingAt + kMaxPlacesChanged - length);
        family.registers[slot] = running;
        family.haveRegister[slot] = true;
    };
    uint32_t running = 0;
    uint64_t baseAt = 0;
    uint64_t readingAt = 0;
    // Brings the register to reading offset `to` (within the bytes up to the next place),
    // noting it at the sizes the counts ask for.
    auto advance = [&](uint64_t to) {
        while (readingAt < to) {
            uint64_t stop = to;
            if (readingAt < lowest) {
                stop = std::min(stop, lowest);
            } else if (readingAt <= highest) {
                stop = std::min(stop, readingAt + 1);
            }
            note(readingAt, running);
            running = crc32Update(running, base.bytes.data() + baseAt,
                                  static_cast<size_t>(stop - readingAt));
            baseAt += stop - readingAt;
            readingAt = stop;
        }
    };
    for (uint32_t place = 0; place < base.places.size(); ++place) {
        uint64_t placeAt = base.places[place] + (removal ? place : 0);
        if (placeAt >= weighedAs) break;
        advance(placeAt);
        family.terms.push_back(
            shiftZeros(stepZero(running) ^ running ^ kCrTerm, weighedAs - placeAt));
        family.at.push_back(placeAt);
        family.placeOf.push_back(place);
        if (removal) {
            note(readingAt, running);
            running = crc32Byte(running, kCarriageReturn);
            ++readingAt;
        }
    }
    uint64_t end = std::min(highest, readingAt + (base.bytes.size() - baseAt));
    advance(end);
    note(readingAt, running);
    work += highest;
}

// The sums for `count` CRs put back (insertions: the first length - count default bytes) or
// taken out (removals: the first length + count bytes of the all-CRs reading).
bool familySums(const Family& family, uint64_t length, uint32_t crc, int count, PlaceSums& sums) {
    const uint64_t size = family.removal ? length + count : length - count;
    size_t slot = static_cast<size_t>(static_cast<int64_t>(size - length) + kMaxPlacesChanged);
    if (size > length + kMaxPlacesChanged || !family.haveRegister[slot]) return false;
    sums = PlaceSums{};
    sums.laterWeighsLess = !family.removal;
    // Insertions are weighed for `length` and want length - count; removals for length + 3.
    int unsteps = family.removal ? kMaxPlacesChanged - count : count;
    for (size_t index = 0; index < family.terms.size() && family.at[index] < size; ++index) {
        uint32_t term = family.terms[index];
        for (int step = 0; step < unsteps; ++step) term = unstepZero(term);
        sums.values.push_back(term);
        sums.placeOf.push_back(family.placeOf[index]);
    }
    uint32_t running = family.registers[slot];
    if (family.removal) {
        sums.target =
            weighted(~crc, count) ^ shiftZeros(0xFFFFFFFFu, size) ^ weighted(running, count);
    } else {
        sums.target = ~crc ^ shiftZeros(0xFFFFFFFFu, length) ^ running;
    }
    return true;
}

// The chosen places (CRs put back) a solution stands for.
std::vector<uint32_t> chosenOf(const PlaceSums& sums, const Solution& solution) {
    std::vector<uint32_t> chosen;
    if (sums.laterWeighsLess) {
        for (uint32_t index : solution) chosen.push_back(sums.placeOf[index]);
        return chosen;
    }
    size_t next = 0;
    for (uint32_t index = 0; index < sums.placeOf.size(); ++index) {
        if (next < solution.size() && solution[next] == index) {
            ++next;
            continue;
        }
        chosen.push_back(sums.placeOf[index]);
    }
    return chosen;
}

}  // namespace

uint32_t crc32ShiftZeros(uint32_t value, uint64_t count) { return shiftZeros(value, count); }

bool searchStoredPlaces(const UndoneBytes& base, const TransferredEntry& entry,
                        std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit) {
    const uint64_t length = entry.compressedSize;
    const int64_t wanted = entry.crsToPutBack;
    std::vector<std::vector<uint32_t>> readings;
    auto addReadings = [&](const PlaceSums& sums, int count) {
        std::vector<Solution> solutions;
        findSums(sums, count, solutions, work);
        for (const Solution& solution : solutions) {
            std::vector<uint32_t> reading = chosenOf(sums, solution);
            if (wanted >= 0 && static_cast<int64_t>(reading.size()) != wanted) continue;
            bool known = false;
            for (const auto& earlier : readings) known = known || earlier == reading;
            if (!known) readings.push_back(reading);
        }
    };
    // A count the layout gives settles which family can hold the answer.
    uint64_t placesInData = static_cast<uint64_t>(
        std::lower_bound(base.places.begin(), base.places.end(), length) - base.places.begin());
    bool tryInsertions = wanted < 0 || wanted <= kMaxPlacesChanged;
    bool tryRemovals =
        wanted < 0 || (static_cast<uint64_t>(wanted) <= placesInData + kMaxPlacesChanged &&
                       static_cast<uint64_t>(wanted) + kMaxPlacesChanged >= placesInData);
    Family insertions;
    Family removals;
    if (tryInsertions) readFamily(base, length, false, insertions, work);
    if (tryRemovals) readFamily(base, length, true, removals, work);
    PlaceSums sums;
    for (int count = 0; count <= kMaxPlacesChanged && readings.size() < 2; ++count) {
        if (work > workLimit) return false;
        if (tryInsertions && (wanted < 0 || wanted == count) &&
            familySums(insertions, length, entry.crc32, count, sums)) {
            addReadings(sums, count);
        }
        if (tryRemovals && readings.size() < 2 &&
            familySums(removals, length, entry.crc32, count, sums)) {
            int64_t kept = static_cast<int64_t>(sums.values.size()) - count;
            if (kept >= 0 && (wanted < 0 || wanted == kept) && kept > kMaxPlacesChanged) {
                addReadings(sums, count);
            }
        }
    }
    if (readings.size() != 1) return false;
    chosen = readings.front();
    return true;
}

}  // namespace zipsalvage
