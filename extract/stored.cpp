// Method 0: the entry's data is copied unchanged, in pieces of exactly 1000 bytes.
#include "extract/methods.h"

namespace zipsalvage {
namespace {

constexpr uint32_t kStagingBytes = 1000;

}  // namespace

int extractStored(ExtractContext& context) {
    uint8_t* staging = takePoolBuffer();
    if (staging == nullptr) return 0;  // no memory: a failed entry, like any other failure
    RunFlags& flags = *context.flags;
    uint32_t pending = 0;
    int64_t writeOffset = 0;
    int32_t read = 0;
    while (read < context.dataLength) {
        if (isCancelled(flags)) {
            returnPoolBuffer(staging);
            return 0;
        }
        if (pending == kStagingBytes) {
            if (context.outputEnabled) writeOutputAt(context, staging, writeOffset, pending);
            writeOffset += kStagingBytes;
            pending = 0;
            if (hasWriteFailed(flags)) break;
        }
        // Whole runs of the current block at once; readEntryByte only to refill.
        int32_t wanted = static_cast<int32_t>(kStagingBytes - pending);
        if (wanted > context.dataLength - read) wanted = context.dataLength - read;
        int32_t taken = takeBlockBytes(context, staging + pending, wanted);
        if (taken == 0) {
            uint16_t byte = 0;
            if (readEntryByte(context, byte) == kNoByte) {
                // The archive ended inside the data: the bytes since the last piece are dropped.
                returnPoolBuffer(staging);
                return 0;
            }
            staging[pending] = static_cast<uint8_t>(byte);
            taken = 1;
        }
        pending += static_cast<uint32_t>(taken);
        read += taken;
    }
    if (!shouldStop(flags) && pending > 0 && context.outputEnabled) {
        writeOutputAt(context, staging, writeOffset, pending);
    }
    returnPoolBuffer(staging);
    return shouldStop(flags) ? 0 : 1;
}

}  // namespace zipsalvage
