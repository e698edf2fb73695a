// Whether an archive looks converted by a text-mode transfer, and which way. Two witnesses must
// agree: the bytes (a change to CR LF leaves no LF without a CR; a change to LF leaves almost no
// CR LF), and the records (a reading must give every span between records the length the
// records say it had, while the bytes as they are do not).
#include <cstring>

#include "extract/text_transfer_archive.h"
#include "extract/text_transfer_scan.h"

namespace zipsalvage {
namespace {

uint32_t readMemory(void* owner, uint64_t offset, uint8_t* into, uint32_t count) {
    const auto& memory = *static_cast<const MemoryArchive*>(owner);
    if (offset >= memory.size) return 0;
    uint64_t left = memory.size - offset;
    uint32_t taken = count <= left ? count : static_cast<uint32_t>(left);
    std::memcpy(into, memory.bytes + offset, taken);
    return taken;
}

bool bytesAgree(const TransferVerdict& verdict, LineEndChange change, uint64_t size) {
    switch (change) {
        case LineEndChange::kNone:
            return true;
        case LineEndChange::kEveryLfToCrLf:
        case LineEndChange::kLoneLfToCrLf:
            return verdict.loneLineFeeds == 0 && verdict.crLfPairs > 0;
        case LineEndChange::kCrLfToLf:
            return verdict.lineFeeds > 0 && verdict.crLfPairs <= crLfLeftByChance(size);
    }
    return false;
}

}  // namespace

ArchiveBytes memoryArchiveBytes(MemoryArchive& memory) {
    return ArchiveBytes{&memory, memory.size, readMemory};
}

TransferVerdict detectLineEndChange(const ArchiveBytes& archive) {
    TransferVerdict verdict;
    ArchiveScan scan;
    if (!scanArchive(archive, scan, ScanExtent::kWhileConversionFits)) return verdict;
    verdict.lineFeeds = scan.lineFeeds;
    verdict.loneLineFeeds = scan.loneLineFeeds;
    verdict.crLfPairs = scan.crLfPairs;
    // No conversion fits the bytes: the archive reads as it is, whatever its records say.
    if (scan.stoppedEarly) return verdict;

    uint32_t telling[kLineEndChanges] = {};
    constexpr LineEndChange kReadings[] = {LineEndChange::kNone, LineEndChange::kEveryLfToCrLf,
                                           LineEndChange::kLoneLfToCrLf, LineEndChange::kCrLfToLf};
    for (LineEndChange change : kReadings) {
        if (!bytesAgree(verdict, change, archive.size)) continue;
        auto reading = static_cast<size_t>(change);
        ReadRecords records = readRecords(archive, scan, change);
        for (const KnownSpan& span : knownSpans(scan, records, change)) {
            // A span without an LF reads the same every way.
            if (scan.signatures[span.to].lineFeedsBefore ==
                scan.signatures[span.from].lineFeedsBefore) {
                continue;
            }
            ++telling[reading];
            if (crsPutBackIn(scan, span, change) >= 0) ++verdict.fittingSpans[reading];
        }
    }
    const auto none = static_cast<size_t>(LineEndChange::kNone);
    verdict.tellingSpans = telling[none];
    // The bytes as they are win whenever they fit. (Converted records may not read as they
    // are at all: a field holding an LF got a CR, so none of their spans tells.)
    if (telling[none] > 0 && verdict.fittingSpans[none] == telling[none]) return verdict;
    // The exact undo first: where it fits, the others fit as well or worse.
    for (LineEndChange change :
         {LineEndChange::kEveryLfToCrLf, LineEndChange::kLoneLfToCrLf, LineEndChange::kCrLfToLf}) {
        auto reading = static_cast<size_t>(change);
        if (telling[reading] > 0 && verdict.fittingSpans[reading] == telling[reading] &&
            verdict.fittingSpans[reading] > verdict.fittingSpans[none]) {
            verdict.tellingSpans = telling[reading];
            verdict.change = change;
            return verdict;
        }
    }
    return verdict;
}

}  // namespace zipsalvage
