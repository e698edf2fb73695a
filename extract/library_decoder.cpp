// The loop every library-backed decoder runs: input pieces in, decoded pieces out.
#include "extract/library_decoder.h"

#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kInputPieceBytes = 16384;
constexpr uint32_t kOutputPieceBytes = 65536;

}  // namespace

// These methods know their own end, so the 10-byte allowance of the bit readers is not needed.
uint32_t readLibraryPiece(ExtractContext& context, uint8_t* buffer, uint32_t capacity) {
    auto delivered = static_cast<int64_t>(context.delivered);
    if (delivered >= context.dataLength) return 0;
    int64_t left = context.dataLength - delivered;
    uint32_t wanted = left < capacity ? static_cast<uint32_t>(left) : capacity;
    uint32_t filled = 0;
    while (filled < wanted) {
        int32_t taken =
            takeBlockBytes(context, buffer + filled, static_cast<int32_t>(wanted - filled));
        if (taken > 0) {
            filled += static_cast<uint32_t>(taken);
            continue;
        }
        // The block is used up: one byte through readEntryByte refills it.
        uint16_t byte = 0;
        if (readEntryByte(context, byte) == kNoByte) break;
        buffer[filled++] = static_cast<uint8_t>(byte);
    }
    return filled;
}

DecodeResult runLibraryDecoder(ExtractContext& context, void* decoder, LibraryStepFunction step) {
    OwnedBlock<uint8_t[]> ownedInput = newBlockArray<uint8_t>(kInputPieceBytes);
    OwnedBlock<uint8_t[]> ownedOutput = newBlockArray<uint8_t>(kOutputPieceBytes);
    if (!ownedInput || !ownedOutput) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    uint8_t* inputPiece = ownedInput.get();
    uint8_t* outputPiece = ownedOutput.get();
    RunFlags& flags = *context.flags;
    // The library decodes the last bytes before a cut too, so none of them is held back.
    context.takeShortBlock = true;
    LibraryCall call{inputPiece, 0, outputPiece, 0, false};
    uint64_t produced = 0;
    DecodeEnd dataEnd = DecodeEnd::kDone;
    while (!shouldStop(flags)) {
        if (call.inputLeft == 0 && !call.inputEnded) {
            call.input = inputPiece;
            call.inputLeft = readLibraryPiece(context, inputPiece, kInputPieceBytes);
            call.inputEnded = call.inputLeft == 0;
        }
        const size_t inputBefore = call.inputLeft;
        call.output = outputPiece;
        call.outputRoom = kOutputPieceBytes;
        LibraryStep stepped = step(decoder, call);
        auto given = static_cast<uint32_t>(kOutputPieceBytes - call.outputRoom);
        if (given > 0) {
            if (context.outputEnabled) {
                writeOutputAt(context, outputPiece, static_cast<int64_t>(produced), given);
            }
            produced += given;
        }
        // More than the recorded size is not this entry's data any more: an honest stream ends
        // at its size, and a stream that claims far more (a few bytes of bzip2 or zstd can
        // describe gigabytes) must not fill the disk. What came before the excess is kept.
        if (!context.lengthUnknown && produced > context.uncompressedSize) {
            dataEnd = DecodeEnd::kCorruptData;
            break;
        }
        if (stepped == LibraryStep::kStreamEnd) break;
        if (stepped == LibraryStep::kCorrupt) {
            dataEnd = DecodeEnd::kCorruptData;
            break;
        }
        if (stepped == LibraryStep::kNoMemory) {
            dataEnd = DecodeEnd::kNoMemory;
            break;
        }
        if (given == 0 && call.inputLeft == inputBefore && (call.inputEnded || inputBefore > 0)) {
            // Nothing moved: the data ended before the method's end (or, with input left, the
            // library is stuck on it, which only damaged data does).
            dataEnd = call.inputEnded ? DecodeEnd::kInputEnded : DecodeEnd::kCorruptData;
            break;
        }
    }
    uint64_t consumed = context.delivered - call.inputLeft;
    return DecodeResult{endUnlessStopped(flags, dataEnd), consumed, produced};
}

}  // namespace zipsalvage
