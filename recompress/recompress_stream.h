// The byte stream of one re-encoded entry: the decoded bytes in (from memory or a file), the
// output archive out, 1024-byte buffers both ways and the CRC-32 of every byte handed out.
#pragma once

#include <cstdint>

#include "core/crc32.h"
#include "core/run_flags.h"
#include "platform/platform.h"

namespace zipsalvage {

inline constexpr int kStreamBufferBytes = 1024;
inline constexpr uint32_t kStoreBelowBytes = 100;  // smaller recovered files are stored

// Where the bytes to re-encode come from. `read` delivers up to `count` bytes into
// `destination` and says how many: 0 at the end of the input or on a failed read.
struct StreamInput {
    void* owner;
    uint32_t (*read)(void* owner, uint8_t* destination, uint32_t count);
};

// The input that reads `file` from its current position.
StreamInput fileInput(FileHandle file);

// Where the re-encoded bytes go. `write` takes `count` bytes and says how many it took: fewer
// on a full disk, a failed write or no memory.
struct StreamOutput {
    void* owner;
    uint32_t (*write)(void* owner, const uint8_t* bytes, uint32_t count);
};

// The output that writes to `file` at its current position.
StreamOutput fileStreamOutput(FileHandle file);

struct RecompressStream {
    StreamInput input;
    StreamOutput output;
    uint8_t* inBuffer;
    uint8_t* outBuffer;
    int32_t inFill;
    int32_t inPos;
    int32_t outFill;
    uint64_t bytesWritten;  // includes what still waits in outBuffer
    uint32_t crc;           // CRC-32 of all bytes handed out: the complement of crcRegister
    uint32_t crcRegister;
    RunFlags* flags;  // a short write is marked here; its writeFailed stops the stream
    // Where a cancel is looked for: `flags` unless set apart (an encoder on its own thread
    // writes into memory of its own, so only the run's cancel, not its write failures, stop it).
    const RunFlags* cancelFlags;
};

// The encoders stop on a cancel or on a short write of their own stream.
inline bool streamShouldStop(const RecompressStream& stream) {
    return isCancelled(*stream.cancelFlags) || hasWriteFailed(*stream.flags);
}

// Refills inBuffer; the slow half of streamReadByte. False at the end of the input.
bool refillStreamInput(RecompressStream& stream);
// Writes a full outBuffer; the slow half of streamWriteByte. Sets writeFailed when short.
void drainStreamOutput(RecompressStream& stream);

// True and the next input byte; false at the end of the input (or a failed read).
inline bool streamReadByte(RecompressStream& stream, uint8_t& byte) {
    if (stream.inPos >= stream.inFill && !refillStreamInput(stream)) return false;
    byte = stream.inBuffer[stream.inPos++];
    stream.crcRegister = crc32Byte(stream.crcRegister, byte);
    stream.crc = stream.crcRegister ^ 0xFFFFFFFFu;
    return true;
}

// Queues one byte. A full buffer is written only when one more byte arrives, so a buffer that
// fills exactly with the last byte is left whole for the caller's final write. A failed write
// is seen in writeFailed (streamShouldStop).
inline void streamWriteByte(RecompressStream& stream, uint8_t byte) {
    if (stream.outFill >= kStreamBufferBytes) drainStreamOutput(stream);
    stream.outBuffer[stream.outFill++] = byte;
    ++stream.bytesWritten;
}

// All fields zero, both buffers obtained, input and output set, `flags` for both stops; false
// when a buffer cannot be had.
bool initRecompressStream(RecompressStream& stream, const StreamInput& input,
                          const StreamOutput& output, RunFlags& flags);
// The same with a file as the output.
bool initRecompressStream(RecompressStream& stream, const StreamInput& input, FileHandle output,
                          RunFlags& flags);
// The same with a file as the input.
bool initRecompressStream(RecompressStream& stream, FileHandle input, FileHandle output,
                          RunFlags& flags);
void freeRecompressStream(RecompressStream& stream);

// Copies the whole input unchanged (method 0). False when streamShouldStop.
bool storeFile(RecompressStream& stream);

// True when the name's last four characters are ".zip", ".cab", ".jpg" or ".gif" (ASCII case
// ignored): data that deflate would not shrink.
bool isPrecompressedName(const char* name);

}  // namespace zipsalvage
