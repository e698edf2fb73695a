// zlib's raw inflate and deflate (RFC 1951 data without a wrapper): the outside oracle for
// deflate data, and a second writer of it.
#pragma once

#include <zlib.h>

#include <cstddef>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct ZlibInflated {
    Bytes content;          // everything zlib decoded, also when it stopped at an error
    bool complete = false;  // the last block ended
    size_t consumed = 0;    // input bytes zlib used
};

ZlibInflated zlibInflateRaw(const Bytes& deflated);

// Raw deflate (no zlib header) of `input` at `level` with `strategy`; when `flushEvery` is
// non-zero, a sync flush (an empty stored block) follows every `flushEvery` bytes.
Bytes zlibDeflate(const Bytes& input, int level, int strategy = Z_DEFAULT_STRATEGY,
                  size_t flushEvery = 0);

}  // namespace zipsalvage::testing
