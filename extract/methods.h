// The decompression methods of the extraction core, as the dispatch calls them. Each says how
// it ended (DecodeResult); each writes what it decoded through flushWindow.
#pragma once

#include "extract/extract_context.h"

namespace zipsalvage {

// Method 0: copies the data through a 1000-byte staging area.
DecodeResult extractStored(ExtractContext& context);
// Method 1: dynamic LZW, 9 to 13 bits, partial clearing (APPNOTE 5.1).
DecodeResult unshrink(ExtractContext& context);
// Methods 2 to 5: probabilistic follower sets and a 4 KiB-class window, factor 1 to 4
// (APPNOTE 5.2).
DecodeResult unreduce(ExtractContext& context, int factor);

}  // namespace zipsalvage
