// zlib's raw inflate (RFC 1951 data without a wrapper): the outside oracle for deflate data.
#pragma once

#include <cstddef>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct ZlibInflated {
    Bytes content;          // everything zlib decoded, also when it stopped at an error
    bool complete = false;  // the last block ended
    size_t consumed = 0;    // input bytes zlib used
};

ZlibInflated zlibInflateRaw(const Bytes& deflated);

}  // namespace zipsalvage::testing
