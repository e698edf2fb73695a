// The deflate entry search: a depth-first search over the places where a CR goes back, led by
// where the strict walk of the stream stops, and settled by the stream's end, size and CRC-32.
//
// Why it is cheap: a place that lost its CR drops one byte of the stream, and the zlib-style
// walk stops within a few dozen bytes of it as a rule (rarely a few kilobytes). Only the places
// shortly before the stop are tried, each from the walk's nearest earlier point, so a missing CR
// costs some kilobytes of decoding, not a decode of the whole entry. Every place between the
// missing CR and the stop lets the walk run on too (the bytes after it are in step again), so
// all that pass are kept, earliest first: the earliest is nearly always the one.
#include <algorithm>
#include <unordered_map>

#include "core/crc32.h"
#include "extract/deflate_probe.h"
#include "extract/text_transfer_candidate.h"

namespace zipsalvage {
namespace {

// How far before a stop its cause is looked for, by the rules of the walk: the zlib-style rules
// stop soon after a lost byte; the format's alone may run on for long.
constexpr uint64_t kZlibStyleWindowBytes = 4096;
constexpr uint64_t kFormatWindowBytes = 65536;
constexpr size_t kMaxTriesPerStop = 32;
// When no place before a stop lets the walk run on, the search looks four and sixteen times as
// far back.
constexpr uint64_t kWidening = 4;
constexpr uint64_t kWidestWidening = 16;
// Without a stop every place is walked to the end: the first few that bring the end nearer do.
constexpr size_t kMaxPassingEverywhere = 4;
// A place passes when the walk runs this far past the stop it was tried for.
constexpr uint64_t kRunOnBytes = 1024;
// The longest a dynamic block header can be: the walk reads it whole before it can pause.
constexpr uint64_t kLongestHeaderBytes = 1024;
constexpr uint64_t kToTheEnd = UINT64_MAX;

// A lost byte in a stored block shows only after the block (its length takes one byte too
// many); a stop this soon after a stored block is looked for in it.
constexpr uint64_t kAfterStoredBytes = 256;

// Where a stored block's bytes lie in the input and the output.
struct StoredBlock {
    uint64_t inputAt = 0;
    uint64_t outputAt = 0;
    uint32_t length = 0;
};

struct Frame {
    std::vector<uint32_t> alternatives;  // ascending
    size_t taken = 0;
    // Set when the stop came right after a stored block: every place in it lets the walk run
    // on, and only the CRC-32 tells them apart.
    bool inStoredBlock = false;
    StoredBlock stored;
};

struct DeflateSearch {
    const TransferredEntry* entry;
    Candidate candidate;
    DeflateProbe probe;
    ProbeRules rules = ProbeRules::kZlibStyle;
    uint64_t workBefore = 0;
    uint64_t workLimit = 0;
};

uint64_t spent(const DeflateSearch& search) { return search.workBefore + search.probe.work; }

uint64_t windowOf(const DeflateSearch& search) {
    return search.rules == ProbeRules::kZlibStyle ? kZlibStyleWindowBytes : kFormatWindowBytes;
}

ProbeStop walk(DeflateSearch& search, uint64_t pauseByte) {
    uint64_t pauseBit = kToTheEnd;
    uint64_t needed = search.candidate.length;
    if (pauseByte != kToTheEnd) {
        pauseBit = pauseByte * 8;
        needed = std::min(needed, pauseByte + kRunOnBytes + kLongestHeaderBytes);
    }
    ensureCandidate(search.candidate, needed);
    return runProbe(search.probe, pauseBit);
}

// The walk ended where the data ends, with the recorded size.
bool endsInPlace(const DeflateSearch& search) {
    return probeConsumedBytes(search.probe) == search.candidate.length &&
           search.probe.spot.outputSize == search.entry->uncompressedSize;
}

bool countAllows(const DeflateSearch& search, size_t chosen) {
    int64_t wanted = search.entry->crsToPutBack;
    return wanted < 0 || static_cast<int64_t>(chosen) <= wanted;
}

bool endsWhole(DeflateSearch& search) {
    const TransferredEntry& entry = *search.entry;
    if (!endsInPlace(search)) return false;
    if (entry.crsToPutBack >= 0 &&
        static_cast<int64_t>(search.candidate.chosen.size()) != entry.crsToPutBack) {
        return false;
    }
    const uint8_t* output = search.probe.output.data();
    if (~crc32Update(0xFFFFFFFFu, output, static_cast<size_t>(entry.uncompressedSize)) !=
        entry.crc32)
        return false;
    // The decoder of the salvage has the last word.
    uint64_t work = 0;
    bool whole = decodesWhole(entry, search.candidate.bytes.data(), search.candidate.length, work);
    search.workBefore += work;
    return whole;
}

// What trying the places before a stop found: those that let the walk run on, ascending, or
// one that makes the entry whole.
struct Tries {
    std::vector<uint32_t> passing;
    bool whole = false;
    bool inStoredBlock = false;
    StoredBlock stored;
};

// Tries the places shortly before `stopByte` (and after the last one chosen). With `everywhere`,
// the stream ended in the wrong place with no stop to go by (a lost byte the walk resynchronised
// over): every place is tried, to the end, from the last one back. That costs less than it
// seems: a wrong place makes the walk stop soon after it, and the first whole one ends it.
// Where and how a walk stopped, kept before the tries walk again.
struct Stop {
    uint64_t atByte = 0;
    uint64_t consumed = 0;    // where the stream ended, when it did
    bool byCount = false;     // a block's symbol count
    uint64_t blockStart = 0;  // that block's header, in bits
    ProbeSpot spot;           // the walk's last point (its last stored block)
};

Stop stopOf(const DeflateSearch& search, uint64_t atByte) {
    return Stop{atByte, probeConsumedBytes(search.probe), search.probe.brokenByCount,
                search.probe.brokenBlockStart, search.probe.spot};
}

// Each try looks `widening` times as far back (and tries as many places) as the one before;
// places from `triedFrom` on were tried already.
Tries tryPlaces(DeflateSearch& search, const Stop& stop, bool everywhere, uint64_t widening = 1,
                uint64_t triedFrom = UINT64_MAX) {
    const uint64_t stopByte = stop.atByte;
    Tries tries;
    std::vector<uint32_t>& passing = tries.passing;
    Candidate& candidate = search.candidate;
    if (!countAllows(search, candidate.chosen.size() + 1)) return tries;
    const std::vector<uint32_t>& places = candidate.base->places;
    // A stop is explained after the last place chosen; an end with no stop anywhere.
    uint32_t first = candidate.chosen.empty() || everywhere ? 0 : candidate.chosen.back() + 1;
    // Past the last chosen place every place's offset is its base offset plus the CRs chosen.
    uint64_t shift = candidate.chosen.size();
    uint64_t window = widening * windowOf(search);
    auto maxTries = static_cast<size_t>(widening * kMaxTriesPerStop);
    uint64_t runTo = stopByte + kRunOnBytes;
    const ProbeSpot& atStop = stop.spot;
    if (stop.byCount) {
        // A block with the wrong symbol count: the lost byte may be anywhere in it.
        uint64_t blockStart = stop.blockStart / 8;
        window = stopByte - std::min(stopByte, blockStart);
        maxTries = places.size();
    } else if (!everywhere && atStop.storedLength > 0 && stopByte >= atStop.storedInputAt &&
               stopByte <= atStop.storedInputAt + atStop.storedLength + kAfterStoredBytes) {
        tries.inStoredBlock = true;
        tries.stored =
            StoredBlock{atStop.storedInputAt, atStop.storedOutputAt, atStop.storedLength};
        window = stopByte - atStop.storedInputAt;
        maxTries = places.size();
    }
    if (everywhere) {
        window = stopByte;
        maxTries = places.size();
        runTo = kToTheEnd;
    }
    auto end = std::upper_bound(places.begin() + first, places.end(),
                                stopByte > shift ? stopByte - shift : 0);
    auto place = static_cast<uint32_t>(end - places.begin());
    size_t tried = 0;
    while (place > first && tried < maxTries && spent(search) <= search.workLimit) {
        --place;
        if (std::binary_search(candidate.chosen.begin(), candidate.chosen.end(), place)) continue;
        uint64_t offset = everywhere ? placeOffset(candidate, place) : places[place] + shift;
        if (offset + window < stopByte) break;
        if (offset >= triedFrom) continue;
        ++tried;
        choosePlace(candidate, place);
        rewindProbe(search.probe, offset);
        ProbeStop walked = walk(search, runTo);
        if (walked == ProbeStop::kEnded && everywhere && endsWhole(search)) {
            tries.whole = true;
            return tries;
        }
        // Without a stop, a place that brings the stream's end one byte nearer passes: more
        // than one lost byte stayed unseen.
        bool nearer = everywhere && walked == ProbeStop::kEnded &&
                      probeConsumedBytes(search.probe) == stop.consumed + 1 &&
                      stop.consumed < candidate.length;
        if (walked == ProbeStop::kPaused || nearer ||
            (walked == ProbeStop::kEnded && endsInPlace(search))) {
            passing.push_back(place);
        }
        // The points the try walked through read its CR: back to before it.
        dropPlace(candidate, place);
        rewindProbe(search.probe, offset);
        if (everywhere && passing.size() >= kMaxPassingEverywhere) break;
    }
    std::reverse(passing.begin(), passing.end());
    return tries;
}

// The bytes a walk must have in common with another at the same point for the rest of their
// output to be the same: deflate's window.
constexpr uint64_t kConvergedWindow = 32768;
// How often an alternative's walk is compared with the walk it is an alternative to.
constexpr size_t kMarksBetweenComparisons = 16;

// How one alternative changes the output: the CRC-32 term of the bytes it changes.
struct Swap {
    size_t frame;
    uint32_t place;
    uint32_t term;
};

// Walks the reading with `alternative` in place of `current` from the last point both share,
// until it is back in step with the walk just ended (same point, same window) or ends, and gives
// the CRC-32 term of the bytes in which their outputs differ: the register over their XOR,
// shifted by the bytes after them. False when the alternative does not walk to the same end.
bool swapTerm(DeflateSearch& search, DeflateProbe& walk, Candidate& reading, uint32_t current,
              uint32_t alternative, uint32_t& term) {
    const Candidate& candidate = search.candidate;
    const DeflateProbe& ended = search.probe;
    const uint64_t size = search.entry->uncompressedSize;
    std::vector<uint32_t> chosen = candidate.chosen;
    *std::lower_bound(chosen.begin(), chosen.end(), current) = alternative;
    std::sort(chosen.begin(), chosen.end());
    setChosen(reading, chosen);
    ensureCandidate(reading, reading.length);
    uint64_t first = placeOffset(candidate, std::min(current, alternative));
    uint64_t last = std::max(placeOffset(candidate, std::max(current, alternative)),
                             placeOffset(reading, std::max(current, alternative)));
    size_t mark = ended.marks.size();
    while (mark > 1 && (ended.marks[mark - 1].bitPos + 7) / 8 > first) --mark;
    const ProbeSpot& from = ended.marks[mark - 1];
    startProbe(walk, reading.bytes.data(), static_cast<size_t>(reading.length), search.rules, size);
    if (resumeProbe(walk, from, ended.output.data()) != ProbeStop::kPaused) return false;
    uint64_t to = size;
    bool inStep = false;
    for (size_t next = mark; next < ended.marks.size() && !inStep;
         next += kMarksBetweenComparisons) {
        const ProbeSpot& at = ended.marks[next];
        if (at.bitPos / 8 <= last + 8) continue;
        ProbeStop stop = runProbe(walk, at.bitPos);
        search.workBefore += walk.work;
        walk.work = 0;
        if (stop == ProbeStop::kEnded) break;
        if (stop != ProbeStop::kPaused || spent(search) > search.workLimit) return false;
        const ProbeSpot& here = walk.spot;
        uint64_t window = std::min(here.outputSize, kConvergedWindow);
        inStep = here.bitPos == at.bitPos && here.outputSize == at.outputSize &&
                 here.phase == at.phase && here.storedLeft == at.storedLeft &&
                 here.matchDistance == at.matchDistance && here.blockSymbols == at.blockSymbols &&
                 std::equal(walk.output.begin() + static_cast<long>(here.outputSize - window),
                            walk.output.begin() + static_cast<long>(here.outputSize),
                            ended.output.begin() + static_cast<long>(here.outputSize - window));
        if (inStep) to = here.outputSize;
    }
    if (!inStep) {
        ProbeStop stop = runProbe(walk, kToTheEnd);
        search.workBefore += walk.work;
        walk.work = 0;
        if (stop != ProbeStop::kEnded || probeConsumedBytes(walk) != reading.length ||
            walk.spot.outputSize != size) {
            return false;
        }
    }
    uint32_t difference = 0;
    for (auto at = static_cast<size_t>(from.outputSize); at < to; ++at) {
        difference = crc32Byte(difference, walk.output[at] ^ ended.output[at]);
    }
    term = crc32ShiftZeros(difference, size - to);
    return true;
}

// The stream ended in place with the wrong CRC-32: some choice was one of its alternatives.
// Outputs of readings that differ in one choice differ in a few bytes as a rule (the walk is in
// step again soon after the later place), and the CRC-32 is linear: the register of the output
// with a choice swapped is the register now, plus the term of the bytes the swap changes. The
// terms of every alternative of every choice are found with short walks, and the swap, or pair
// of swaps of different choices, whose terms make up the difference is taken.
bool settleByCrc(DeflateSearch& search, std::vector<Frame>& frames) {
    const TransferredEntry& entry = *search.entry;
    const uint64_t size = entry.uncompressedSize;
    uint32_t wanted =
        crc32Update(0xFFFFFFFFu, search.probe.output.data(), static_cast<size_t>(size)) ^
        ~entry.crc32;
    DeflateProbe walk;
    Candidate reading;
    startCandidate(reading, *search.candidate.base, search.candidate.length);
    std::vector<Swap> swaps;
    auto apply = [&](std::initializer_list<const Swap*> chosenSwaps) {
        Candidate& candidate = search.candidate;
        for (const Swap* swap : chosenSwaps) {
            Frame& frame = frames[swap->frame];
            dropPlace(candidate, frame.alternatives[frame.taken]);
            choosePlace(candidate, swap->place);
        }
        ensureCandidate(candidate, candidate.length);
        uint64_t work = 0;
        bool whole = decodesWhole(entry, candidate.bytes.data(), candidate.length, work);
        search.workBefore += work;
        if (whole) return true;
        for (const Swap* swap : chosenSwaps) {
            Frame& frame = frames[swap->frame];
            dropPlace(candidate, swap->place);
            choosePlace(candidate, frame.alternatives[frame.taken]);
        }
        return false;
    };
    for (size_t index = frames.size(); index-- > 0;) {
        const Frame& frame = frames[index];
        uint32_t current = frame.alternatives[frame.taken];
        for (uint32_t alternative : frame.alternatives) {
            if (alternative == current || spent(search) > search.workLimit) continue;
            uint32_t term = 0;
            if (!swapTerm(search, walk, reading, current, alternative, term)) continue;
            swaps.push_back(Swap{index, alternative, term});
            if (term == wanted && apply({&swaps.back()})) return true;
        }
    }
    std::unordered_map<uint32_t, size_t> byTerm;
    for (size_t index = 0; index < swaps.size(); ++index) {
        auto other = byTerm.find(wanted ^ swaps[index].term);
        if (other != byTerm.end() && swaps[other->second].frame != swaps[index].frame &&
            apply({&swaps[other->second], &swaps[index]})) {
            return true;
        }
        byTerm.emplace(swaps[index].term, index);
    }
    return false;
}

// Takes the next alternative of the latest choice that has one; false when none is left.
bool backtrack(DeflateSearch& search, std::vector<Frame>& frames) {
    Candidate& candidate = search.candidate;
    while (!frames.empty()) {
        Frame& top = frames.back();
        uint32_t current = top.alternatives[top.taken];
        dropPlace(candidate, current);
        if (++top.taken < top.alternatives.size()) {
            uint32_t next = top.alternatives[top.taken];
            choosePlace(candidate, next);
            rewindProbe(search.probe, placeOffset(candidate, std::min(current, next)));
            return true;
        }
        frames.pop_back();
    }
    return false;
}

bool runSearch(DeflateSearch& search) {
    Candidate& candidate = search.candidate;
    setChosen(candidate, {});
    startProbe(search.probe, candidate.bytes.data(), static_cast<size_t>(candidate.length),
               search.rules, search.entry->uncompressedSize);
    std::vector<Frame> frames;
    while (spent(search) <= search.workLimit) {
        ProbeStop stop = walk(search, kToTheEnd);
        if (stop == ProbeStop::kNoMemory) return false;
        uint64_t stopByte = candidate.length;
        bool ended = stop == ProbeStop::kEnded;
        if (ended) {
            if (endsWhole(search)) return true;
        } else {
            stopByte = std::min(stopByte, search.probe.brokenAtBit / 8);
        }
        const Stop at = stopOf(search, stopByte);
        Tries tries;
        if (ended && endsInPlace(search) && settleByCrc(search, frames)) return true;
        if (ended) {
            tries = tryPlaces(search, at, true);
            if (tries.whole) return true;
            // Those that ended in place were tried to the end and are not whole.
            if (endsInPlace(search)) tries.passing.clear();
        } else {
            tries = tryPlaces(search, at, false);
            // Now and then a lost byte stays unseen for longer: further back, before giving up.
            for (uint64_t widening = kWidening; tries.passing.empty() && !at.byCount &&
                                                !tries.inStoredBlock && widening <= kWidestWidening;
                 widening *= kWidening) {
                uint64_t triedFrom =
                    stopByte - std::min(stopByte, (widening / kWidening) * windowOf(search));
                tries = tryPlaces(search, at, false, widening, triedFrom);
            }
        }
        std::vector<uint32_t>& passing = tries.passing;
        if (!passing.empty()) {
            choosePlace(candidate, passing.front());
            rewindProbe(search.probe, placeOffset(candidate, passing.front()));
            frames.push_back(Frame{std::move(passing), 0, tries.inStoredBlock, tries.stored});
            continue;
        }
        if (!backtrack(search, frames)) return false;
    }
    return false;
}

}  // namespace

bool searchDeflatedPlaces(const UndoneBytes& base, const TransferredEntry& entry,
                          std::vector<uint32_t>& chosen, uint64_t& work, uint64_t workLimit) {
    DeflateSearch search;
    search.entry = &entry;
    search.workBefore = work;
    search.workLimit = workLimit;
    startCandidate(search.candidate, base, entry.compressedSize);
    // The zlib-style rules first; an encoder that writes shorter matches (7-Zip's optimal
    // parse) breaks them at once, and then only the format's rules lead the search.
    for (ProbeRules rules : {ProbeRules::kZlibStyle, ProbeRules::kFormat}) {
        search.rules = rules;
        bool found = runSearch(search);
        search.workBefore += search.probe.work;
        search.probe.work = 0;
        if (found) {
            chosen = search.candidate.chosen;
            work = search.workBefore;
            return true;
        }
    }
    work = search.workBefore;
    return false;
}

}  // namespace zipsalvage
