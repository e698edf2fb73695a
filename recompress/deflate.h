// The deflate encoder (RFC 1951 raw deflate data) over a RecompressStream.
#pragma once

#include "recompress/recompress_stream.h"

namespace zipsalvage {

// Compresses the whole input and hands the final block to the stream. False when memory cannot
// be had or when writeFailed or cancelRequested was set.
bool deflateFile(RecompressStream& stream);

}  // namespace zipsalvage
