// Archives damaged by a text-mode transfer (an ASCII-mode FTP, a download that put a CR before
// every LF, line-ending conversion on binary files): what each conversion did to the bytes, and
// its undo. Every undo starts from a default that is right for nearly every byte, and lists the
// places where the other reading is possible, for the entry search to decide.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace zipsalvage {

inline constexpr uint8_t kCarriageReturn = 0x0D;
inline constexpr uint8_t kLineFeed = 0x0A;

enum class LineEndChange : uint8_t {
    kNone,
    // Every LF became CR LF. The undo is exact: every CR LF goes back to LF (an original CR LF
    // had become CR CR LF).
    kEveryLfToCrLf,
    // Only an LF without a CR before it became CR LF (unix2dos). A CR LF is a converted LF or an
    // original pair; by default it goes back to LF, and a CR before it makes it original.
    kLoneLfToCrLf,
    // Every CR LF became LF (dos2unix). An LF is an original one or lost its CR; by default it
    // stays, and a CR before it (an original CR CR LF) makes it one that lost its CR.
    kCrLfToLf,
};

// What the transfer did to `bytes`: the damage, for tests, benchmarks and fuzzing.
std::vector<uint8_t> applyLineEndChange(LineEndChange change, const uint8_t* bytes, size_t size);

// The default undo of a span of converted bytes, with the places where the other reading is
// possible. At each such place the undone bytes hold an LF, and the other reading puts a CR back
// before it; the places are the same "put a CR back before this LF" for both ambiguous changes.
struct UndoneBytes {
    std::vector<uint8_t> bytes;
    // Offsets in `bytes` of the LF of each ambiguous place, ascending.
    std::vector<uint32_t> places;
    // For each place, the offset of its LF in the converted span.
    std::vector<uint32_t> convertedAt;
};

// The converted byte before a span, for the rules that look back: none at the archive's start.
inline constexpr int kNoByteBefore = -1;

// Undoes `size` converted bytes by default. `byteBefore` is the converted byte before them (or
// kNoByteBefore): a span should start at a pair's CR, not between it and its LF. Spans are
// below 4 GiB (offsets are 32-bit).
void undoByDefault(LineEndChange change, const uint8_t* converted, size_t size, int byteBefore,
                   UndoneBytes& undone);

// The undo of a whole archive, applied in pieces: the change and the converted offsets of the
// LFs of the places that take the other reading (ascending).
struct LineEndUndo {
    LineEndChange change = LineEndChange::kNone;
    std::vector<uint64_t> crPutBackAt;
};

// The state of a streamed undo between pieces: where the next converted byte lies, the converted
// bytes before it, and a CR held back until the byte after it says whether it stays.
struct UndoCursor {
    uint64_t convertedOffset = 0;
    int byteBefore = kNoByteBefore;
    int byteBeforeThat = kNoByteBefore;
    bool holdingCr = false;
    size_t nextException = 0;  // index into crPutBackAt
};

// Undoes the next `size` converted bytes into `out` (appended). A CR at the end may be held back
// until the next piece; finishUndo puts it out at the end of the data.
void undoPiece(const LineEndUndo& undo, UndoCursor& cursor, const uint8_t* converted, size_t size,
               std::vector<uint8_t>& out);
void finishUndo(UndoCursor& cursor, std::vector<uint8_t>& out);
// The same, stopping once `out` holds `outputWanted` bytes (a CR held back there is decided by
// the byte after it, so `out` may end up a byte or two longer); returns the converted bytes
// taken.
size_t undoPrefix(const LineEndUndo& undo, UndoCursor& cursor, const uint8_t* converted,
                  size_t size, size_t outputWanted, std::vector<uint8_t>& out);

// The whole undo of `size` converted bytes, from the archive's start.
std::vector<uint8_t> undoAll(const LineEndUndo& undo, const uint8_t* converted, size_t size);

}  // namespace zipsalvage
