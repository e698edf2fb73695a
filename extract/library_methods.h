// The methods decoded by outside libraries. Each is built only where its library was found
// (ZIPSALVAGE_HAVE_BZIP2, _LZMA, _ZSTD); without it the method is copied as it was.
#pragma once

#include "extract/extract_context.h"

namespace zipsalvage {

// Method 12 (libbz2).
DecodeResult decodeBzip2(ExtractContext& context);
// Method 14 (liblzma): the APPNOTE 5.8 header, then LZMA data that ends with an end-of-stream
// marker when `generalFlags` has bit 1, or after the uncompressed size otherwise.
DecodeResult decodeLzma(ExtractContext& context, uint16_t generalFlags);
// Method 95 (liblzma): one .xz stream, its checks verified.
DecodeResult decodeXz(ExtractContext& context);
// Method 93 (libzstd): zstd frames, their checksums verified where they carry one.
DecodeResult decodeZstd(ExtractContext& context);

}  // namespace zipsalvage
