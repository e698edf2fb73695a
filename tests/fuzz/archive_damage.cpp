// applyDamage: each kind of damage, and the pieces of the original that it leaves alone.
#include "tests/fuzz/archive_damage.h"

#include <algorithm>

namespace zipsalvage::testing {
namespace {

constexpr size_t kLocalHeaderBytes = 30;

void addPiece(std::vector<SurvivingPiece>& pieces, size_t start, size_t end, size_t damagedStart) {
    if (end > start) pieces.push_back({start, end - start, damagedStart});
}

}  // namespace

const char* damageName(DamageKind kind) {
    switch (kind) {
        case DamageKind::kTruncate:
            return "truncate";
        case DamageKind::kOverwrite:
            return "overwrite";
        case DamageKind::kInsert:
            return "insert";
        case DamageKind::kDelete:
            return "delete";
        case DamageKind::kBitFlips:
            return "bit flips";
        case DamageKind::kJunkBefore:
            return "junk before";
        case DamageKind::kJunkAfter:
            return "junk after";
        case DamageKind::kConcatenated:
            return "concatenated";
        case DamageKind::kDestroyLocalHeader:
            return "destroyed local header";
    }
    return "?";
}

DamagedArchive applyDamage(const Bytes& archive, const Damage& damage) {
    DamagedArchive damaged;
    size_t size = archive.size();
    size_t offset = std::min(damage.offset, size);
    size_t length = damage.length;
    Bytes junk = makeRandom(length, damage.seed);
    damaged.description = std::string(damageName(damage.kind)) + " at " + std::to_string(offset) +
                          " length " + std::to_string(length) + " seed " +
                          std::to_string(damage.seed);
    auto begin = archive.begin();
    switch (damage.kind) {
        case DamageKind::kTruncate:
            damaged.bytes.assign(begin, begin + static_cast<long>(offset));
            addPiece(damaged.pieces, 0, offset, 0);
            break;
        case DamageKind::kOverwrite:
        case DamageKind::kDestroyLocalHeader: {
            if (damage.kind == DamageKind::kDestroyLocalHeader) {
                length = kLocalHeaderBytes;
                junk = makeRandom(length, damage.seed);
            }
            size_t end = std::min(offset + length, size);
            damaged.bytes = archive;
            std::copy(junk.begin(), junk.begin() + static_cast<long>(end - offset),
                      damaged.bytes.begin() + static_cast<long>(offset));
            addPiece(damaged.pieces, 0, offset, 0);
            addPiece(damaged.pieces, end, size, end);
            break;
        }
        case DamageKind::kInsert:
            damaged.bytes.assign(begin, begin + static_cast<long>(offset));
            damaged.bytes.insert(damaged.bytes.end(), junk.begin(), junk.end());
            damaged.bytes.insert(damaged.bytes.end(), begin + static_cast<long>(offset),
                                 archive.end());
            addPiece(damaged.pieces, 0, offset, 0);
            addPiece(damaged.pieces, offset, size, offset + length);
            break;
        case DamageKind::kDelete: {
            size_t end = std::min(offset + length, size);
            damaged.bytes.assign(begin, begin + static_cast<long>(offset));
            damaged.bytes.insert(damaged.bytes.end(), begin + static_cast<long>(end),
                                 archive.end());
            addPiece(damaged.pieces, 0, offset, 0);
            addPiece(damaged.pieces, end, size, offset);
            break;
        }
        case DamageKind::kBitFlips: {
            damaged.bytes = archive;
            std::vector<size_t> places;
            Bytes noise = makeRandom(length * 4, damage.seed);
            for (size_t flip = 0; flip < length && size > 0; ++flip) {
                uint32_t pick = static_cast<uint32_t>(noise[4 * flip]) << 16 |
                                static_cast<uint32_t>(noise[4 * flip + 1]) << 8 |
                                noise[4 * flip + 2];
                size_t at = pick % size;
                damaged.bytes[at] ^= static_cast<uint8_t>(1u << (noise[4 * flip + 3] % 8));
                places.push_back(at);
            }
            std::sort(places.begin(), places.end());
            size_t start = 0;
            for (size_t at : places) {
                addPiece(damaged.pieces, start, at, start);
                start = std::max(start, at + 1);
            }
            addPiece(damaged.pieces, start, size, start);
            break;
        }
        case DamageKind::kJunkBefore:
            damaged.bytes = junk;
            damaged.bytes.insert(damaged.bytes.end(), archive.begin(), archive.end());
            addPiece(damaged.pieces, 0, size, length);
            break;
        case DamageKind::kJunkAfter:
            damaged.bytes = archive;
            damaged.bytes.insert(damaged.bytes.end(), junk.begin(), junk.end());
            addPiece(damaged.pieces, 0, size, 0);
            break;
        case DamageKind::kConcatenated:
            damaged.bytes = archive;
            damaged.bytes.insert(damaged.bytes.end(), archive.begin(), archive.end());
            addPiece(damaged.pieces, 0, size, 0);
            addPiece(damaged.pieces, 0, size, size);
            break;
    }
    return damaged;
}

std::vector<size_t> survivingCopies(const DamagedArchive& damaged, size_t start, size_t length) {
    std::vector<size_t> copies;
    for (const SurvivingPiece& piece : damaged.pieces) {
        if (start >= piece.start && start + length <= piece.start + piece.length) {
            copies.push_back(piece.damagedStart + (start - piece.start));
        }
    }
    return copies;
}

}  // namespace zipsalvage::testing
