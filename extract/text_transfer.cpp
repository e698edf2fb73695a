// The three line-ending conversions and their undo, one converted byte at a time. Only CR and LF
// are special, so runs of other bytes are copied whole.
#include "extract/text_transfer.h"

namespace zipsalvage {
namespace {

// The undo's state over the converted bytes: the two before the next one, and a CR held back
// until the next byte says whether it was put in by the transfer.
struct UndoState {
    int byteBefore = kNoByteBefore;
    int byteBeforeThat = kNoByteBefore;
    bool holdingCr = false;
};

inline void pushLineFeed(std::vector<uint8_t>& out, bool crBefore) {
    if (crBefore) out.push_back(kCarriageReturn);
    out.push_back(kLineFeed);
}

// One converted CR or LF. `putCrBack(lfOffset, undoneOffset)` decides an ambiguous place: the
// LF at converted offset `lfOffset` would land at `undoneOffset` without its CR.
template <typename Decide>
inline void undoLineByte(LineEndChange change, UndoState& state, uint8_t byte, uint64_t offset,
                         std::vector<uint8_t>& out, Decide&& putCrBack) {
    switch (change) {
        case LineEndChange::kNone:
            out.push_back(byte);
            break;
        case LineEndChange::kEveryLfToCrLf:
        case LineEndChange::kLoneLfToCrLf:
            if (state.holdingCr) {
                state.holdingCr = false;
                if (byte == kLineFeed) {
                    // unix2dos puts no CR before an LF that had one: a CR before the pair is
                    // original, and so is the pair's CR.
                    bool forced = change == LineEndChange::kLoneLfToCrLf &&
                                  state.byteBeforeThat == kCarriageReturn;
                    bool keep = forced || (change == LineEndChange::kLoneLfToCrLf &&
                                           putCrBack(offset, out.size()));
                    pushLineFeed(out, keep);
                    break;
                }
                out.push_back(kCarriageReturn);
            }
            if (byte == kCarriageReturn) {
                state.holdingCr = true;
            } else {
                // An LF without a CR before it cannot come out of these conversions; it stays.
                out.push_back(byte);
            }
            break;
        case LineEndChange::kCrLfToLf:
            if (byte == kLineFeed) {
                // dos2unix leaves no CR LF: a CR before this LF was the first of CR CR LF, whose
                // pair lost its CR.
                bool forced = state.byteBefore == kCarriageReturn;
                pushLineFeed(out, forced || putCrBack(offset, out.size()));
            } else {
                out.push_back(byte);
            }
            break;
    }
}

// Undoes converted bytes until they run out or `out` holds `outputWanted` bytes with no CR held
// back; returns how many converted bytes it took.
template <typename Decide>
size_t undoBytes(LineEndChange change, UndoState& state, const uint8_t* converted, size_t size,
                 uint64_t firstOffset, std::vector<uint8_t>& out, Decide&& putCrBack,
                 size_t outputWanted = SIZE_MAX) {
    size_t index = 0;
    while (index < size && (out.size() < outputWanted || state.holdingCr)) {
        bool ordinary = converted[index] != kCarriageReturn && converted[index] != kLineFeed;
        if (state.holdingCr && ordinary) {
            // No LF after it: the held CR was the data's own.
            state.holdingCr = false;
            out.insert(out.end(), kCarriageReturn);
            continue;
        }
        if (ordinary) {
            // A run of ordinary bytes goes out whole, as far as wanted.
            size_t room = outputWanted - out.size();
            size_t runLimit = room < size - index ? index + room : size;
            size_t runEnd = index;
            while (runEnd < runLimit && converted[runEnd] != kCarriageReturn &&
                   converted[runEnd] != kLineFeed) {
                ++runEnd;
            }
            out.insert(out.end(), converted + index, converted + runEnd);
            state.byteBeforeThat = runEnd - index >= 2 ? converted[runEnd - 2] : state.byteBefore;
            state.byteBefore = converted[runEnd - 1];
            index = runEnd;
            continue;
        }
        uint8_t byte = converted[index];
        undoLineByte(change, state, byte, firstOffset + index, out, putCrBack);
        state.byteBeforeThat = state.byteBefore;
        state.byteBefore = byte;
        ++index;
    }
    return index;
}

}  // namespace

std::vector<uint8_t> applyLineEndChange(LineEndChange change, const uint8_t* bytes, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size + size / 64);
    for (size_t index = 0; index < size; ++index) {
        uint8_t byte = bytes[index];
        bool crBefore = index > 0 && bytes[index - 1] == kCarriageReturn;
        switch (change) {
            case LineEndChange::kNone:
                break;
            case LineEndChange::kEveryLfToCrLf:
                if (byte == kLineFeed) out.push_back(kCarriageReturn);
                break;
            case LineEndChange::kLoneLfToCrLf:
                if (byte == kLineFeed && !crBefore) out.push_back(kCarriageReturn);
                break;
            case LineEndChange::kCrLfToLf:
                // One pass: of CR CR LF only the last CR goes.
                if (byte == kLineFeed && crBefore) out.pop_back();
                break;
        }
        out.push_back(byte);
    }
    return out;
}

void undoByDefault(LineEndChange change, const uint8_t* converted, size_t size, int byteBefore,
                   UndoneBytes& undone) {
    undone.bytes.clear();
    undone.places.clear();
    undone.convertedAt.clear();
    undone.bytes.reserve(size);
    UndoState state;
    state.byteBefore = byteBefore;
    undoBytes(change, state, converted, size, 0, undone.bytes,
              [&undone](uint64_t lfOffset, size_t undoneOffset) {
                  undone.places.push_back(static_cast<uint32_t>(undoneOffset));
                  undone.convertedAt.push_back(static_cast<uint32_t>(lfOffset));
                  return false;
              });
    if (state.holdingCr) undone.bytes.push_back(kCarriageReturn);
}

size_t undoPrefix(const LineEndUndo& undo, UndoCursor& cursor, const uint8_t* converted,
                  size_t size, size_t outputWanted, std::vector<uint8_t>& out) {
    UndoState state{cursor.byteBefore, cursor.byteBeforeThat, cursor.holdingCr};
    const std::vector<uint64_t>& exceptions = undo.crPutBackAt;
    size_t& next = cursor.nextException;
    size_t used = undoBytes(
        undo.change, state, converted, size, cursor.convertedOffset, out,
        [&exceptions, &next](uint64_t lfOffset, size_t) {
            while (next < exceptions.size() && exceptions[next] < lfOffset) ++next;
            return next < exceptions.size() && exceptions[next] == lfOffset;
        },
        outputWanted);
    cursor.convertedOffset += used;
    cursor.byteBefore = state.byteBefore;
    cursor.byteBeforeThat = state.byteBeforeThat;
    cursor.holdingCr = state.holdingCr;
    return used;
}

void undoPiece(const LineEndUndo& undo, UndoCursor& cursor, const uint8_t* converted, size_t size,
               std::vector<uint8_t>& out) {
    undoPrefix(undo, cursor, converted, size, SIZE_MAX, out);
}

void finishUndo(UndoCursor& cursor, std::vector<uint8_t>& out) {
    if (cursor.holdingCr) out.push_back(kCarriageReturn);
    cursor.holdingCr = false;
}

std::vector<uint8_t> undoAll(const LineEndUndo& undo, const uint8_t* converted, size_t size) {
    std::vector<uint8_t> out;
    out.reserve(size);
    UndoCursor cursor;
    undoPiece(undo, cursor, converted, size, out);
    finishUndo(cursor, out);
    return out;
}

}  // namespace zipsalvage
