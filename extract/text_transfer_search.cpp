// The entry search's driver: the default reading first (right for nearly every entry), then the
// search of the entry's method, within the work bound; the result is judged by the decoder.
#include "extract/text_transfer_search.h"

#include <algorithm>

#include "core/zip_format.h"
#include "extract/extract_context.h"
#include "extract/text_transfer_candidate.h"

namespace zipsalvage {
namespace {

// Methods without a search of their own: each single place tried with a whole decode.
bool searchByDecoding(const UndoneBytes& base, const TransferredEntry& entry,
                      std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit) {
    if (entry.crsToPutBack > 1) return false;
    Candidate candidate;
    startCandidate(candidate, base, entry.compressedSize);
    for (uint32_t place = 0; place < base.places.size() && work <= workLimit; ++place) {
        if (base.places[place] >= entry.compressedSize) break;
        setChosen(candidate, {place});
        ensureCandidate(candidate, candidate.length);
        if (decodesWhole(entry, candidate.bytes.data(), candidate.length, work)) {
            chosen = candidate.chosen;
            return true;
        }
    }
    return false;
}

// The converted bytes that the undo with the chosen CRs turns into the entry's `length` bytes.
uint64_t convertedLengthOf(LineEndChange change, const uint8_t* converted, size_t size,
                           int byteBefore, const EntryUndo& undo, uint64_t length) {
    LineEndUndo pieces;
    pieces.change = change;
    pieces.crPutBackAt.assign(undo.crPutBackAt.begin(), undo.crPutBackAt.end());
    UndoCursor cursor;
    cursor.byteBefore = byteBefore;
    std::vector<uint8_t> out;
    out.reserve(static_cast<size_t>(length + 2));
    return undoPrefix(pieces, cursor, converted, size, static_cast<size_t>(length), out);
}

}  // namespace

// Deflate writes at most 258 bytes for a 2-bit match code (RFC 1951 3.2.5): more output than
// this from so much data cannot be whole. (The old methods stay well below it too.)
constexpr uint64_t kLargestExpansion = 1032;

// A count of CRs to put back that the archive's layout gives may leave one reading: none of
// the places in the data, or all of them. True, with those places in `chosen`, when it does.
static bool settledByLayout(const TransferredEntry& entry, const UndoneBytes& base, uint64_t length,
                            std::vector<uint32_t>& chosen) {
    if (entry.crsToPutBack < 0 || static_cast<uint64_t>(entry.crsToPutBack) > length) return false;
    uint64_t defaultBytes = length - static_cast<uint64_t>(entry.crsToPutBack);
    auto inData = static_cast<int64_t>(
        std::lower_bound(base.places.begin(), base.places.end(), defaultBytes) -
        base.places.begin());
    if (entry.crsToPutBack != 0 && entry.crsToPutBack != inData) return false;
    for (int64_t place = 0; place < entry.crsToPutBack; ++place) {
        chosen.push_back(static_cast<uint32_t>(place));
    }
    return true;
}

// The search of the places for the reading whose data decodes whole, by the method's means.
static bool searchPlaces(const UndoneBytes& base, const TransferredEntry& entry,
                         std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit) {
    switch (entry.method) {
        case kMethodStored:
            return searchStoredPlaces(base, entry, chosen, work, workLimit);
        case kMethodDeflated:
            return searchDeflatedPlaces(base, entry, chosen, work, workLimit);
        default:
            return searchByDecoding(base, entry, chosen, work, workLimit);
    }
}

EntryUndo undoEntryTransfer(LineEndChange change, const uint8_t* converted, size_t size,
                            int byteBefore, const TransferredEntry& entry) {
    EntryUndo undo;
    const uint64_t length = entry.compressedSize;
    if (length > kMaxSearchedCompressed || entry.uncompressedSize > kMaxSearchedUncompressed) {
        undo.verdict = EntryUndoVerdict::kTooBig;
        return undo;
    }
    const bool decodable = (entry.flags & kFlagEncrypted) == 0 && decodesMethod(entry.method);
    // The default reading of CR LF to LF takes at most two converted bytes for one; the other
    // changes never take more than one.
    uint64_t spanLimit = 2 * length + 64;
    size_t span = size < spanLimit ? size : static_cast<size_t>(spanLimit);
    UndoneBytes base;
    undoByDefault(change, converted, span, byteBefore, base);
    if (base.bytes.size() + base.places.size() < length) {
        undo.verdict = EntryUndoVerdict::kCutShort;
        return undo;
    }
    std::vector<uint32_t> chosen;
    const bool settled = settledByLayout(entry, base, length, chosen);
    if (!decodable) {
        if (!settled) {
            undo.verdict = EntryUndoVerdict::kNotSearched;
            return undo;
        }
        undo.verdict = EntryUndoVerdict::kSettledByLayout;
        for (uint32_t place : chosen) undo.crPutBackAt.push_back(base.convertedAt[place]);
        undo.convertedLength = convertedLengthOf(change, converted, span, byteBefore, undo, length);
        return undo;
    }
    if (entry.uncompressedSize > kLargestExpansion * length + kLargestExpansion ||
        (entry.method == kMethodStored && entry.uncompressedSize != length)) {
        return undo;  // no reading of this data can have the recorded size
    }
    const uint64_t workLimit =
        kSearchWorkFactor * (length + entry.uncompressedSize) + kSearchAllowanceBytes;
    bool found = false;
    if (settled || entry.crsToPutBack < 0) {
        Candidate reading;
        startCandidate(reading, base, length);
        setChosen(reading, chosen);
        ensureCandidate(reading, length);
        found = decodesWhole(entry, reading.bytes.data(), length, undo.work);
    }
    bool decoded = found;  // judged by the decoder already
    if (!found && !settled && !base.places.empty()) {
        decoded = entry.method != kMethodStored;
        found = searchPlaces(base, entry, chosen, undo.work, workLimit);
    }
    if (!found) return undo;
    Candidate candidate;
    startCandidate(candidate, base, length);
    setChosen(candidate, chosen);
    ensureCandidate(candidate, length);
    // Stored readings found by arithmetic are confirmed by the decoder like the others.
    if (!decoded && !decodesWhole(entry, candidate.bytes.data(), length, undo.work)) return undo;
    undo.verdict = EntryUndoVerdict::kWhole;
    undo.data.assign(candidate.bytes.begin(), candidate.bytes.begin() + static_cast<long>(length));
    for (uint32_t place : chosen) undo.crPutBackAt.push_back(base.convertedAt[place]);
    undo.convertedLength = convertedLengthOf(change, converted, span, byteBefore, undo, length);
    return undo;
}

}  // namespace zipsalvage
