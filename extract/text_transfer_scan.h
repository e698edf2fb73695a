// What the detection and the archive undo share: one pass over a converted archive that finds
// the record signatures and, for each, where every reading's default undo puts it, and the
// records read back through a reading's default undo.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "extract/text_transfer_archive.h"

namespace zipsalvage {

enum class RecordKind : uint8_t { kLocal, kCentral, kEnd, kZip64End };

struct FoundSignature {
    uint64_t at = 0;  // converted offset of its first byte
    RecordKind kind = RecordKind::kLocal;
    // By LineEndChange: the offset the default undo gives this byte, and the ambiguous places
    // before it.
    uint64_t undoneAt[kLineEndChanges] = {};
    uint64_t placesBefore[kLineEndChanges] = {};
    uint64_t lineFeedsBefore = 0;
};

struct ArchiveScan {
    uint64_t lineFeeds = 0;
    uint64_t loneLineFeeds = 0;
    uint64_t crLfPairs = 0;
    std::vector<FoundSignature> signatures;  // ascending
    bool stoppedEarly = false;               // the counts ruled out every conversion
};

// At most this many signatures of each kind are kept: a file of nothing but signatures must
// not exhaust memory.
inline constexpr size_t kMaxSignatures = 1u << 20;

// After a change to LF, a CR LF is left only where CR CR LF was (one in 2^24 bytes of random
// data); this many are allowed, so that a large converted archive is still recognised.
inline uint64_t crLfLeftByChance(uint64_t size) { return 2 + (size >> 20); }

// How far the pass goes: the undo needs every signature; the detection only needs to read on
// while some conversion still fits the bytes.
enum class ScanExtent : uint8_t { kWholeArchive, kWhileConversionFits };

// Reads the archive once, in order. With kWhileConversionFits it stops (stoppedEarly) as soon as
// the counts rule out every conversion: an LF without a CR before it (no change to CR LF leaves
// one) and more CR LF pairs than a change to LF leaves by chance. The counts only grow, so the
// rest of the archive could not change that; compressed data shows both within about a
// sixteenth of its length, so an archive that was not converted is not read whole twice.
// False when a read fails before the end of what it reads.
bool scanArchive(const ArchiveBytes& archive, ArchiveScan& scan,
                 ScanExtent extent = ScanExtent::kWholeArchive);

// The first `wanted` bytes of `change`'s default undo of the converted bytes at `at` (fewer at
// the archive's end), and how many converted bytes gave them.
struct UndoneRead {
    std::vector<uint8_t> bytes;
    uint64_t convertedUsed = 0;
};
UndoneRead readUndone(const ArchiveBytes& archive, LineEndChange change, uint64_t at,
                      size_t wanted);

// A local file header (APPNOTE 4.3.7) read through a default undo.
struct LocalRecord {
    uint64_t at = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t headerBytes = 0;  // 30 + name + extra field, as recorded
    uint64_t dataAt = 0;       // converted offset of the first data byte
    bool sizesKnown = false;   // neither flag bit 3 nor a Zip64 size without its extra field
    std::string name;
};

// A central directory file header (APPNOTE 4.3.12), its Zip64 values resolved (4.5.3).
struct CentralRecordRead {
    uint64_t at = 0;
    uint16_t flags = 0;
    uint16_t method = 0;
    uint32_t crc32 = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint64_t localHeaderOffset = 0;
    uint64_t convertedLength = 0;  // the whole record's, in the converted archive
    std::string name;
};

// The end of central directory record (APPNOTE 4.3.16), or the Zip64 one (4.3.14) when the end
// record leaves the directory's place to it.
struct EndRecordRead {
    uint64_t at = 0;              // the end record
    uint64_t directoryEndAt = 0;  // the record right after the directory (the Zip64 one, if any)
    uint64_t directorySize = 0;
    uint64_t directoryOffset = 0;
};

// The records of an archive as one reading sees them.
struct ReadRecords {
    std::vector<LocalRecord> locals;
    // With an end record, those of the directory that ends where it says (records one after the
    // other up to it: not those of an archive stored in an entry); without, all.
    std::vector<CentralRecordRead> centrals;
    bool haveEnd = false;
    EndRecordRead end;
};

ReadRecords readRecords(const ArchiveBytes& archive, const ArchiveScan& scan, LineEndChange change);

// For each local record, the central record that names it at the offset nearest to where the
// reading puts it (each central record used once), or -1.
std::vector<int> matchCentralRecords(const ArchiveScan& scan, const ReadRecords& records,
                                     LineEndChange change);

// A span of the converted archive between two records and the length it had before.
struct KnownSpan {
    size_t from = 0;  // indices into the scan's signatures
    size_t to = 0;
    uint64_t originalLength = 0;
};

// The spans whose original length the records give: between local headers matched to their
// central records, to the central directory and to the end record; without an end record,
// between consecutive local headers of known sizes.
std::vector<KnownSpan> knownSpans(const ArchiveScan& scan, const ReadRecords& records,
                                  LineEndChange change);

// The CRs that go back within a span under `change`'s reading, or -1 when the span does not fit
// that reading.
int64_t crsPutBackIn(const ArchiveScan& scan, const KnownSpan& span, LineEndChange change);

}  // namespace zipsalvage
