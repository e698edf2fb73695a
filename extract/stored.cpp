// Method 0: the entry's data is copied unchanged, in pieces of exactly 1000 bytes.
#include "core/memory_blocks.h"
#include "extract/methods.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kStagingBytes = 1000;

}  // namespace

DecodeResult extractStored(ExtractContext& context) {
    // From the block cache, which hands the same warm block to one stored entry after another.
    OwnedBlock<uint8_t[]> ownedStaging = newBlockArray<uint8_t>(kStagingBytes);
    if (!ownedStaging) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    uint8_t* staging = ownedStaging.get();
    RunFlags& flags = *context.flags;
    uint32_t pending = 0;
    uint64_t writeOffset = 0;
    int64_t read = 0;
    DecodeEnd dataEnd = DecodeEnd::kDone;
    while (read < context.dataLength) {
        if (isCancelled(flags)) break;
        if (pending == kStagingBytes) {
            if (context.outputEnabled) {
                writeOutputAt(context, staging, static_cast<int64_t>(writeOffset), pending);
            }
            writeOffset += kStagingBytes;
            pending = 0;
            if (hasWriteFailed(flags)) break;
        }
        // Whole runs of the current block at once; readEntryByte only to refill.
        int64_t left = context.dataLength - read;
        auto wanted = static_cast<int32_t>(kStagingBytes - pending);
        if (wanted > left) wanted = static_cast<int32_t>(left);
        int32_t taken = takeBlockBytes(context, staging + pending, wanted);
        if (taken == 0) {
            uint16_t byte = 0;
            if (readEntryByte(context, byte) == kNoByte) {
                // The archive ended inside the data: every byte it held is kept.
                dataEnd = DecodeEnd::kInputEnded;
                break;
            }
            staging[pending] = static_cast<uint8_t>(byte);
            taken = 1;
        }
        pending += static_cast<uint32_t>(taken);
        read += taken;
    }
    if (!shouldStop(flags) && pending > 0) {
        if (context.outputEnabled) {
            writeOutputAt(context, staging, static_cast<int64_t>(writeOffset), pending);
        }
        writeOffset += pending;
    }
    return DecodeResult{endUnlessStopped(flags, dataEnd), static_cast<uint64_t>(read), writeOffset};
}

}  // namespace zipsalvage
