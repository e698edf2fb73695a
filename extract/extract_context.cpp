// The entry byte source and the output writes shared by every method.
#include "extract/extract_context.h"

#include <cstring>

namespace zipsalvage {
namespace {

uint32_t writeToFile(void* owner, int64_t position, const uint8_t* bytes, uint32_t count) {
    return writeFileAt(reinterpret_cast<FileHandle>(owner), position, bytes, count);
}

bool truncateFile(void* owner, uint64_t size) {
    auto file = reinterpret_cast<FileHandle>(owner);
    return seekFile(file, static_cast<int64_t>(size)) && truncateFileHere(file);
}

}  // namespace

EntryOutput fileOutput(FileHandle file) {
    return EntryOutput{reinterpret_cast<void*>(file), writeToFile, truncateFile};
}

uint16_t refillEntryBlock(ExtractContext& context, uint16_t& destination) {
    int64_t remaining = context.dataLength - static_cast<int64_t>(context.delivered);
    auto count = static_cast<int32_t>(
        remaining > kEntryBlockBytes ? kEntryBlockBytes : (remaining < 1 ? 1 : remaining));
    if (context.source.readUpTo != nullptr) {
        // The archive may end inside the data (a truncated archive, or data of unknown length
        // that ends with it): a short block is all there is, and every byte of it is delivered,
        // so that what the method decodes from it is kept.
        int32_t got = context.source.readUpTo(context.source.owner, context.block, count);
        count = got > 0 ? got : 0;
    } else if (context.source.readExact == nullptr ||
               !context.source.readExact(context.source.owner, context.block, count)) {
        count = 0;
    }
    if (count == 0) {
        // Nothing more in the archive (or a source that reads only whole blocks).
        context.endOfData = true;
        destination = 0;
        return kNoByte;
    }
    if (context.decryptBlock != nullptr) {
        context.decryptBlock(context.decryptOwner, context.block, static_cast<uint32_t>(count));
    }
    if (context.heldData != nullptr) {
        context.heldData->insert(context.heldData->end(), context.block, context.block + count);
    }
    context.blockFill = count;
    context.blockPos = 1;
    uint8_t byte = context.block[0];
    if (context.encrypted) byte = decryptByte(context.keys, byte);
    destination = byte;
    ++context.delivered;
    return kByteDelivered;
}

int32_t takeBlockBytes(ExtractContext& context, uint8_t* destination, int32_t count) {
    int32_t inBlock = context.blockFill - context.blockPos;
    if (context.delivered >= context.readLimit) return 0;
    uint64_t allowed = context.readLimit - context.delivered;
    int32_t take = count < inBlock ? count : inBlock;
    if (take <= 0) return 0;
    if (static_cast<uint64_t>(take) > allowed) take = static_cast<int32_t>(allowed);
    const uint8_t* source = context.block + context.blockPos;
    if (context.encrypted) {
        for (int32_t index = 0; index < take; ++index) {
            destination[index] = decryptByte(context.keys, source[index]);
        }
    } else {
        std::memcpy(destination, source, static_cast<size_t>(take));
    }
    context.blockPos += take;
    context.delivered += static_cast<uint64_t>(take);
    return take;
}

bool outOfBits(const DecoderState& state, int32_t bitsHeld, int32_t bitsNeeded) {
    const ExtractContext& context = *state.context;
    if (bitsNeeded < 0) return true;
    auto delivered = static_cast<int64_t>(context.delivered);
    if (context.dataLength < delivered) return true;
    // So many bytes left settle it without the product, which a huge length would overflow.
    int64_t bytesLeft = context.dataLength - delivered;
    if (bytesLeft >= (int64_t{1} << 40)) return false;
    int64_t available = bitsHeld + 8 * bytesLeft;
    return available < bitsNeeded;
}

uint32_t writeOutputAt(ExtractContext& context, const uint8_t* bytes, int64_t position,
                       uint32_t count) {
    uint32_t written = context.output.writeAt(context.output.owner, position, bytes, count);
    if (written != count) markWriteFailed(*context.flags);
    return written;
}

uint32_t flushWindow(DecoderState& state, uint32_t count) {
    return flushWindowBytes(state, state.window, count);
}

uint32_t flushWindowBytes(DecoderState& state, const uint8_t* bytes, uint32_t count) {
    uint32_t written = 0;
    if (state.context->outputEnabled) {
        written =
            writeOutputAt(*state.context, bytes, static_cast<int64_t>(state.outputPos), count);
    }
    state.outputPos += count;
    return written;
}

void initExtractContext(ExtractContext& context, FileHandle output, uint64_t compressedSize,
                        uint64_t uncompressedSize, bool encrypted, const char* password,
                        const uint8_t* encryptionHeader, const EntryByteSource& source,
                        RunFlags& flags) {
    initExtractContext(context, fileOutput(output), compressedSize, uncompressedSize, encrypted,
                       password, encryptionHeader, source, flags);
}

void initExtractContext(ExtractContext& context, const EntryOutput& output, uint64_t compressedSize,
                        uint64_t uncompressedSize, bool encrypted, const char* password,
                        const uint8_t* encryptionHeader, const EntryByteSource& source,
                        RunFlags& flags) {
    std::memset(&context, 0, sizeof context);
    context.outputEnabled = true;
    context.output = output;
    // Sizes beyond what a signed 64-bit count can hold mean the same as the largest one: a
    // damaged Zip64 field may hold anything, and explode and unreduce count down from it signed.
    constexpr auto kLargestSize = static_cast<uint64_t>(kLargestDataLength);
    context.uncompressedSize = uncompressedSize > kLargestSize ? kLargestSize : uncompressedSize;
    context.dataLength = static_cast<int64_t>(
        compressedSize > kLargestDataLength ? kLargestDataLength : compressedSize);
    context.source = source;
    context.flags = &flags;
    if (password != nullptr) {
        std::memcpy(context.password, password, strnlen(password, kPasswordBufferBytes - 1));
    }
    context.encrypted = encrypted;
    if (context.encrypted) {
        // The check byte was tested when the password was accepted; here the keys only need
        // to stand where the first data byte expects them.
        prepareDecryption(context.keys, context.password, encryptionHeader);
        context.dataLength -= kEncryptionHeaderBytes;
        context.encryptionHeaderBytes = kEncryptionHeaderBytes;
    }
    int64_t readLimit = context.dataLength + kDataAllowanceBytes;
    context.readLimit = readLimit < 0 ? 0 : static_cast<uint64_t>(readLimit);
}

}  // namespace zipsalvage
