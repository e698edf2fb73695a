// What the entry searches share: a candidate reading of an entry's data (the default undo with a
// CR put back at some places), built lazily as far as a decoder needs it, and the judgement of a
// candidate by the entry's own decoder and CRC-32.
#pragma once

#include <cstdint>
#include <vector>

#include "extract/text_transfer.h"
#include "extract/text_transfer_search.h"

namespace zipsalvage {

// The first `length` bytes of `base` with a CR put back before the LF of each chosen place.
// Bytes up to `validEnd` are in place; ensureCandidate builds on from there.
struct Candidate {
    const UndoneBytes* base = nullptr;
    uint64_t length = 0;
    std::vector<uint32_t> chosen;  // indices into base->places, ascending
    std::vector<uint8_t> bytes;    // length plus kCandidatePadding bytes
    // Where building stopped: the candidate offset, the base offset it comes from, and the
    // first chosen place not yet built.
    uint64_t validEnd = 0;
    uint64_t baseAt = 0;
    size_t nextChosen = 0;
};

inline constexpr size_t kCandidatePadding = 16;

void startCandidate(Candidate& candidate, const UndoneBytes& base, uint64_t length);
// Builds the candidate's bytes up to `end` (at most its length).
void ensureCandidate(Candidate& candidate, uint64_t end);
// The candidate offset of place `place`'s LF, or of the CR put back before it when chosen.
uint64_t placeOffset(const Candidate& candidate, uint32_t place);
// Chooses or drops a place; the bytes from it on are built again when asked for.
void choosePlace(Candidate& candidate, uint32_t place);
void dropPlace(Candidate& candidate, uint32_t place);
void setChosen(Candidate& candidate, const std::vector<uint32_t>& chosen);

// True when `data` decodes with the entry's method to exactly its recorded size and CRC-32, by
// the decoders of extract/ with the output held in memory. Adds the bytes decoded to `work`.
bool decodesWhole(const TransferredEntry& entry, const uint8_t* data, uint64_t size,
                  uint64_t& work);

// The CRC-32 register after `count` zero bytes more (from CRC-32 arithmetic: F^count).
uint32_t crc32ShiftZeros(uint32_t value, uint64_t count);

// The stored-entry search: a CR put back shifts the bytes after it, but the CRC-32 of the result
// is still a sum over the places chosen, so one to three places (or all places but one to three)
// are found with a pass over the data and hash look-ups. Fills `chosen` when exactly one
// reading matches the CRC-32.
bool searchStoredPlaces(const UndoneBytes& base, const TransferredEntry& entry,
                        std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit);

// The deflate search: a strict walk of the default reading (deflate_probe.h) stops a few dozen
// bytes after each place that lost its CR; the places just before the stop are tried, each from
// the nearest earlier point of the walk, and those that let it run on are kept as alternatives
// for backtracking, until the stream decodes to its size and CRC-32.
bool searchDeflatedPlaces(const UndoneBytes& base, const TransferredEntry& entry,
                          std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit);

}  // namespace zipsalvage
