// The damaged-archive generator: one kind of damage at a time, applied to an archive's bytes,
// with a map of which original bytes survive untouched and where they now lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

enum class DamageKind {
    kTruncate,            // cut at `offset`
    kOverwrite,           // `length` random bytes written over those at `offset`
    kInsert,              // `length` random bytes inserted at `offset`
    kDelete,              // `length` bytes removed at `offset`
    kBitFlips,            // `length` single bits flipped at random places
    kJunkBefore,          // `length` random bytes in front
    kJunkAfter,           // `length` random bytes behind
    kConcatenated,        // the archive twice in a row
    kDestroyLocalHeader,  // the 30 bytes of the local header at `offset` overwritten
};

struct Damage {
    DamageKind kind;
    size_t offset = 0;
    size_t length = 0;
    uint32_t seed = 1;
};

// A run of original bytes that survived untouched: original [start, start + length) now lies at
// `damagedStart`.
struct SurvivingPiece {
    size_t start;
    size_t length;
    size_t damagedStart;
};

struct DamagedArchive {
    Bytes bytes;
    std::vector<SurvivingPiece> pieces;
    std::string description;
};

DamagedArchive applyDamage(const Bytes& archive, const Damage& damage);

// Where the original bytes [start, start + length) lie in the damaged archive, once for every
// copy that survived whole (none when any of them was touched).
std::vector<size_t> survivingCopies(const DamagedArchive& damaged, size_t start, size_t length);

const char* damageName(DamageKind kind);

}  // namespace zipsalvage::testing
