// Reading data descriptors, and the forward search for the one that ends data of unknown length.
#include "extract/data_descriptor.h"

#include <cstring>

#include "core/little_endian.h"
#include "core/memory_blocks.h"

namespace zipsalvage {
namespace {

// One form at `bytes`: `withSignature` first, `wide` with 8-byte sizes.
bool readForm(const uint8_t* bytes, size_t available, bool withSignature, bool wide,
              DataDescriptor& form) {
    uint32_t length = (withSignature ? uint32_t{kSignatureSize} : 0u) +
                      (wide ? kDescriptorSize64 : kDescriptorSize32);
    if (available < length) return false;
    if (withSignature && loadLE32(bytes) != kDescriptorSignature) return false;
    const uint8_t* field = bytes + (withSignature ? kSignatureSize : 0);
    form.crc = loadLE32(field + kDescriptorCrc32);
    if (wide) {
        form.compressedSize = loadLE64(field + kDescriptorCompressedSize);
        form.uncompressedSize = loadLE64(field + kDescriptorUncompressedSize64);
    } else {
        form.compressedSize = loadLE32(field + kDescriptorCompressedSize);
        form.uncompressedSize = loadLE32(field + kDescriptorUncompressedSize32);
    }
    form.length = length;
    return true;
}

bool sizesAgree(const DataDescriptor& form, const DescriptorExpectation& expected) {
    if (form.compressedSize != expected.compressedSize) return false;
    return !expected.uncompressedKnown || form.uncompressedSize == expected.uncompressedSize;
}

constexpr size_t kSearchBlockBytes = 65536;
constexpr size_t kSearchBufferBytes = kSearchBlockBytes + kDescriptorLookahead;

// The search's state over its buffer: bytes before `checked` are decrypted, bytes before
// `unwritten` are in the output.
struct SearchBuffer {
    uint8_t* bytes;
    size_t fill = 0;
    size_t position = 0;
    size_t checked = 0;
    size_t unwritten = 0;
};

// Brings decryption up to `position`. It runs byte after byte (each key update needs the byte
// before), so it catches up in runs rather than at every position the search looks at.
void catchUp(ExtractContext& context, SearchBuffer& search) {
    uint8_t* from = search.bytes + search.checked;
    size_t count = search.position - search.checked;
    if (context.encrypted) {
        for (size_t index = 0; index < count; ++index) {
            from[index] = decryptByte(context.keys, from[index]);
        }
    }
    search.checked = search.position;
}

// Writes the bytes in front of `position` that are not yet written; `produced` counts them.
void putOut(ExtractContext& context, SearchBuffer& search, uint64_t& produced) {
    size_t count = search.position - search.unwritten;
    if (count > 0 && context.outputEnabled && !shouldStop(*context.flags)) {
        writeOutputAt(context, search.bytes + search.unwritten, static_cast<int64_t>(produced),
                      static_cast<uint32_t>(count));
    }
    produced += count;
    search.unwritten = search.position;
}

}  // namespace

bool matchDescriptor(const uint8_t* bytes, size_t available, bool endAfter,
                     const DescriptorExpectation& expected, DataDescriptor& found) {
    bool haveAcceptable = false;
    DataDescriptor form;
    for (bool withSignature : {true, false}) {
        for (bool wide : {false, true}) {
            if (!readForm(bytes, available, withSignature, wide, form)) continue;
            if (!sizesAgree(form, expected)) continue;
            bool followed = (available >= form.length + kSignatureSize &&
                             startsZipRecord(bytes + form.length)) ||
                            (endAfter && available == form.length);
            // Without a signature, agreeing sizes could still be data: what follows decides. (A
            // CRC-32 that agrees is no proof: twelve zero bytes agree with an empty entry.)
            if (!withSignature && !followed) continue;
            if (followed) {
                found = form;
                return true;
            }
            if (!haveAcceptable) {
                found = form;
                haveAcceptable = true;
            }
        }
    }
    return haveAcceptable;
}

bool readSignedDescriptor(const uint8_t* bytes, size_t available, DataDescriptor& found) {
    return readForm(bytes, available, true, false, found);
}

DecodeResult searchDescriptor(ExtractContext& context, bool copyStored, DataDescriptor& found) {
    DecodeResult result{DecodeEnd::kInputEnded, 0, 0};
    if (context.source.readUpTo == nullptr) return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
    OwnedBlock<uint8_t[]> owned = newBlockArray<uint8_t>(kSearchBufferBytes);
    if (!owned) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    const RunFlags& flags = *context.flags;
    const uint64_t headerBytes = context.encryptionHeaderBytes;
    SearchBuffer search{owned.get()};
    bool sourceEnded = false;
    uint64_t count = 0;  // data bytes in front of `position`
    DescriptorExpectation expected;
    expected.uncompressedKnown = copyStored;

    while (true) {
        if (search.fill - search.position < kDescriptorLookahead && !sourceEnded) {
            if (shouldStop(flags)) break;
            // Puts out the content so far, keeps the unread lookahead, reads the next block.
            if (copyStored) {
                catchUp(context, search);
                putOut(context, search, result.produced);
            }
            size_t kept = search.fill - search.position;
            std::memmove(search.bytes, search.bytes + search.position, kept);
            search.fill = kept;
            search.position = search.checked = search.unwritten = 0;
            int32_t got = context.source.readUpTo(context.source.owner, search.bytes + kept,
                                                  static_cast<int32_t>(kSearchBlockBytes));
            if (got <= 0) sourceEnded = true;
            if (got > 0) search.fill += static_cast<size_t>(got);
            continue;
        }
        if (search.position >= search.fill) break;
        const uint8_t* at = search.bytes + search.position;
        size_t left = search.fill - search.position;
        size_t available = left < kDescriptorLookahead ? left : kDescriptorLookahead;
        // Every form names the compressed size at offset 4 unless it starts with the signature,
        // so these two cheap tests let through every descriptor that can agree.
        if (available >= kDescriptorSize32 && (loadLE32(at) == kDescriptorSignature ||
                                               loadLE32(at + kDescriptorCompressedSize) ==
                                                   static_cast<uint32_t>(count + headerBytes))) {
            expected.compressedSize = count + headerBytes;
            expected.uncompressedSize = count;
            bool endAfter = sourceEnded && available == left;
            if (matchDescriptor(at, available, endAfter, expected, found)) {
                result.end = DecodeEnd::kDone;
                break;
            }
        }
        ++search.position;
        ++count;
    }
    if (copyStored) {
        catchUp(context, search);
        putOut(context, search, result.produced);
    }
    result.consumed = count;
    result.end = endUnlessStopped(flags, result.end);
    return result;
}

}  // namespace zipsalvage
