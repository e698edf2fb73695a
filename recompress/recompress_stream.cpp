// The re-encoding stream, the stored copy and the name test.
#include "recompress/recompress_stream.h"

#include <cstring>

#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

uint32_t readFromFile(void* owner, uint8_t* destination, uint32_t count) {
    return readFile(reinterpret_cast<FileHandle>(owner), destination, count);
}

uint32_t writeToFile(void* owner, const uint8_t* bytes, uint32_t count) {
    return writeFile(reinterpret_cast<FileHandle>(owner), bytes, count);
}

}  // namespace

StreamOutput fileStreamOutput(FileHandle file) {
    return StreamOutput{reinterpret_cast<void*>(file), writeToFile};
}

StreamInput fileInput(FileHandle file) {
    return StreamInput{reinterpret_cast<void*>(file), readFromFile};
}

bool refillStreamInput(RecompressStream& stream) {
    uint32_t got = stream.input.read(stream.input.owner, stream.inBuffer, kStreamBufferBytes);
    if (got == 0) return false;
    stream.inPos = 0;
    stream.inFill = static_cast<int32_t>(got);
    return true;
}

void drainStreamOutput(RecompressStream& stream) {
    uint32_t written =
        stream.output.write(stream.output.owner, stream.outBuffer, kStreamBufferBytes);
    if (written < kStreamBufferBytes) markWriteFailed(*stream.flags);
    stream.outFill = 0;
}

bool initRecompressStream(RecompressStream& stream, FileHandle input, FileHandle output,
                          RunFlags& flags) {
    return initRecompressStream(stream, fileInput(input), output, flags);
}

bool initRecompressStream(RecompressStream& stream, const StreamInput& input, FileHandle output,
                          RunFlags& flags) {
    return initRecompressStream(stream, input, fileStreamOutput(output), flags);
}

bool initRecompressStream(RecompressStream& stream, const StreamInput& input,
                          const StreamOutput& output, RunFlags& flags) {
    std::memset(&stream, 0, sizeof stream);
    stream.input = input;
    stream.output = output;
    stream.flags = &flags;
    stream.cancelFlags = &flags;
    stream.inBuffer = static_cast<uint8_t*>(allocBlock(kStreamBufferBytes));
    stream.outBuffer = static_cast<uint8_t*>(allocBlock(kStreamBufferBytes));
    if (stream.inBuffer == nullptr || stream.outBuffer == nullptr) {
        freeRecompressStream(stream);
        return false;
    }
    return true;
}

void freeRecompressStream(RecompressStream& stream) {
    freeBlock(stream.inBuffer);
    freeBlock(stream.outBuffer);
    stream.inBuffer = nullptr;
    stream.outBuffer = nullptr;
}

bool storeFile(RecompressStream& stream) {
    stream.crcRegister = 0xFFFFFFFFu;
    stream.crc = 0;
    // Byte for byte what streamReadByte/streamWriteByte would do, a buffer run at a time: a
    // full output buffer is written only when another byte arrives, and the flags are looked
    // at after every run instead of every byte.
    while (stream.inPos < stream.inFill || refillStreamInput(stream)) {
        if (stream.outFill >= kStreamBufferBytes) drainStreamOutput(stream);
        int32_t run = stream.inFill - stream.inPos;
        if (run > kStreamBufferBytes - stream.outFill) run = kStreamBufferBytes - stream.outFill;
        const uint8_t* source = stream.inBuffer + stream.inPos;
        std::memcpy(stream.outBuffer + stream.outFill, source, static_cast<size_t>(run));
        stream.crcRegister = crc32Update(stream.crcRegister, source, static_cast<size_t>(run));
        stream.crc = stream.crcRegister ^ 0xFFFFFFFFu;
        stream.inPos += run;
        stream.outFill += run;
        stream.bytesWritten += static_cast<uint64_t>(run);
        if (streamShouldStop(stream)) return false;
    }
    return true;
}

bool isPrecompressedName(const char* name) {
    if (name == nullptr) return false;
    size_t length = std::strlen(name);
    if (length < 4) return false;
    const char* tail = name + length - 4;
    for (const char* suffix : {".zip", ".cab", ".jpg", ".gif"}) {
        bool same = true;
        for (int index = 0; index < 4 && same; ++index) {
            char letter = tail[index];
            if (letter >= 'A' && letter <= 'Z') letter = static_cast<char>(letter - 'A' + 'a');
            same = letter == suffix[index];
        }
        if (same) return true;
    }
    return false;
}

}  // namespace zipsalvage
