// Candidate readings of an entry's data, built as far as they are read, and their judgement by
// the entry's decoder with the output in memory.
#include "extract/text_transfer_candidate.h"

#include <algorithm>
#include <cstring>

#include "core/crc32.h"
#include "core/run_flags.h"
#include "extract/extract_context.h"

namespace zipsalvage {
namespace {

struct MemoryData {
    const uint8_t* bytes;
    uint64_t size;
    uint64_t offset;
};

bool readMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& data = *static_cast<MemoryData*>(owner);
    if (count < 0 || data.size - data.offset < static_cast<uint64_t>(count)) return false;
    if (count > 0) std::memcpy(destination, data.bytes + data.offset, static_cast<size_t>(count));
    data.offset += static_cast<uint64_t>(count);
    return true;
}

// Decoded bytes kept in memory, never more than `limit`: a write past it fails, which stops the
// decoder.
struct MemoryOutput {
    std::vector<uint8_t> bytes;
    uint64_t limit;
};

uint32_t writeMemory(void* owner, int64_t position, const uint8_t* bytes, uint32_t count) {
    auto& output = *static_cast<MemoryOutput*>(owner);
    if (position < 0 || static_cast<uint64_t>(position) > output.limit) return 0;
    auto at = static_cast<uint64_t>(position);
    uint64_t room = output.limit - at;
    uint32_t taken = count <= room ? count : static_cast<uint32_t>(room);
    if (taken == 0) return 0;
    if (output.bytes.size() < at + taken) output.bytes.resize(static_cast<size_t>(at + taken));
    std::memcpy(output.bytes.data() + static_cast<size_t>(at), bytes, taken);
    return taken;
}

// Where the candidate's building stands when it restarts at place `place`'s offset.
void restartAt(Candidate& candidate, uint32_t place, size_t chosenIndex) {
    uint64_t offset = candidate.base->places[place] + chosenIndex;
    if (offset >= candidate.validEnd) return;
    candidate.validEnd = offset;
    candidate.baseAt = candidate.base->places[place];
    candidate.nextChosen = chosenIndex;
}

}  // namespace

void startCandidate(Candidate& candidate, const UndoneBytes& base, uint64_t length) {
    candidate.base = &base;
    candidate.length = length;
    candidate.chosen.clear();
    candidate.bytes.assign(static_cast<size_t>(length + kCandidatePadding), 0);
    candidate.validEnd = 0;
    candidate.baseAt = 0;
    candidate.nextChosen = 0;
}

void ensureCandidate(Candidate& candidate, uint64_t end) {
    const UndoneBytes& base = *candidate.base;
    if (end > candidate.length) end = candidate.length;
    while (candidate.validEnd < end) {
        uint64_t stop = base.bytes.size();
        if (candidate.nextChosen < candidate.chosen.size()) {
            stop = base.places[candidate.chosen[candidate.nextChosen]];
            if (candidate.baseAt == stop) {
                candidate.bytes[static_cast<size_t>(candidate.validEnd++)] = kCarriageReturn;
                ++candidate.nextChosen;
                continue;
            }
        }
        uint64_t run = std::min(stop - candidate.baseAt, end - candidate.validEnd);
        if (run == 0) {
            // The base ran out (the caller checked it is long enough for the default reading):
            // what is left reads as zeros.
            std::memset(candidate.bytes.data() + candidate.validEnd, 0,
                        static_cast<size_t>(end - candidate.validEnd));
            candidate.validEnd = end;
            break;
        }
        std::memcpy(candidate.bytes.data() + candidate.validEnd,
                    base.bytes.data() + candidate.baseAt, static_cast<size_t>(run));
        candidate.validEnd += run;
        candidate.baseAt += run;
    }
}

uint64_t placeOffset(const Candidate& candidate, uint32_t place) {
    auto before = std::lower_bound(candidate.chosen.begin(), candidate.chosen.end(), place);
    return candidate.base->places[place] + static_cast<uint64_t>(before - candidate.chosen.begin());
}

void choosePlace(Candidate& candidate, uint32_t place) {
    auto at = std::lower_bound(candidate.chosen.begin(), candidate.chosen.end(), place);
    if (at != candidate.chosen.end() && *at == place) return;
    auto index = static_cast<size_t>(at - candidate.chosen.begin());
    candidate.chosen.insert(at, place);
    restartAt(candidate, place, index);
}

void dropPlace(Candidate& candidate, uint32_t place) {
    auto at = std::lower_bound(candidate.chosen.begin(), candidate.chosen.end(), place);
    if (at == candidate.chosen.end() || *at != place) return;
    auto index = static_cast<size_t>(at - candidate.chosen.begin());
    candidate.chosen.erase(at);
    restartAt(candidate, place, index);
}

void setChosen(Candidate& candidate, const std::vector<uint32_t>& chosen) {
    candidate.chosen = chosen;
    candidate.validEnd = 0;
    candidate.baseAt = 0;
    candidate.nextChosen = 0;
}

bool decodesWhole(const TransferredEntry& entry, const uint8_t* data, uint64_t size,
                  uint64_t& work) {
    MemoryData input{data, size, 0};
    MemoryOutput output{{}, entry.uncompressedSize};
    EntryByteSource source{&input, readMemory, nullptr};
    EntryOutput sink{&output, writeMemory, nullptr};
    EntryData record;
    record.method = entry.method;
    record.generalFlags = entry.flags;
    record.compressedSize = size;
    record.uncompressedSize = entry.uncompressedSize;
    RunFlags flags;
    DecodeResult result = extractEntryData(record, sink, false, nullptr, nullptr, source, flags);
    work += size + result.produced;
    return result.end == DecodeEnd::kDone && result.produced == entry.uncompressedSize &&
           output.bytes.size() == entry.uncompressedSize &&
           ~crc32Update(0xFFFFFFFFu, output.bytes.data(), output.bytes.size()) == entry.crc32;
}

}  // namespace zipsalvage
