// Data descriptors (APPNOTE 4.3.9): where a streaming writer puts an entry's CRC-32 and sizes
// once the data is written, and how to find the one that ends data of unknown length.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/zip_format.h"
#include "extract/extract_context.h"

namespace zipsalvage {

// The longest descriptor (signature, CRC-32, two 8-byte sizes) and a signature behind it.
inline constexpr size_t kDescriptorLookahead = kLongestDescriptor + kSignatureSize;

struct DataDescriptor {
    uint32_t crc = 0;
    uint64_t compressedSize = 0;
    uint64_t uncompressedSize = 0;
    uint32_t length = 0;  // bytes it takes in the archive: 12, 16, 20 or 24
};

// What is known of the data in front of a candidate descriptor.
struct DescriptorExpectation {
    uint64_t compressedSize = 0;  // bytes in front of it, encryption header included
    uint64_t uncompressedSize = 0;
    bool uncompressedKnown = false;
};

// Reads the descriptor at `bytes` whose sizes agree with `expected`; `endAfter` says that the
// archive ends after the `available` bytes. The signature is optional (APPNOTE 4.3.9.3) and
// the sizes are 4 or 8 bytes (8 for Zip64 entries); 4.3.9 leaves the reader to tell the forms
// apart, so a form is taken when its sizes agree and it carries the signature, or a Zip
// signature or the archive's end follows it. Among agreeing forms, one followed by a Zip
// signature or the end is preferred. The CRC-32 is judged afterwards, by the caller, so that
// damaged data still finds its end. False when no form agrees.
bool matchDescriptor(const uint8_t* bytes, size_t available, bool endAfter,
                     const DescriptorExpectation& expected, DataDescriptor& found);

// Reads a signed 32-bit descriptor as it stands, agreeing or not. False without a signature.
bool readSignedDescriptor(const uint8_t* bytes, size_t available, DataDescriptor& found);

// Where the data of a stored (or other length-needing) entry of unknown size ends: reads the
// context's source forward from the data's first byte (behind the encryption header) until a
// descriptor agrees with the count of bytes before it. Each position costs a constant amount of
// work (a signature and a size compared; decryption catches up in runs) and memory is one
// 64 KiB buffer, so the search is linear in the entry's size. The bytes' CRC-32 is not needed to
// find the end (sizes and what follows decide) and is judged afterwards against the
// descriptor's, so that damaged bytes cost the entry its verdict but not its end.
//
// With `copyStored`, the bytes in front of it are the entry's content: they are decrypted (when
// the context is encrypted) and written to the output, and the descriptor's uncompressed size
// must agree too. Without it, only the compressed size can agree, and nothing is written.
// `found` is set when the result is done; `consumed` counts the data bytes in front of the
// descriptor. The source must offer readUpTo.
DecodeResult searchDescriptor(ExtractContext& context, bool copyStored, DataDescriptor& found);

}  // namespace zipsalvage
