// A small, slow RFC 1951 decoder for tests that reports the structure of every block: its type,
// its items and the code lengths it sent. Independent of the encoder's code.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tests/support/test_files.h"

namespace zipsalvage::testing {

struct BlockInfo {
    bool final = false;
    int type = -1;  // 0 stored, 1 fixed, 2 dynamic
    int literals = 0;
    int matches = 0;
    size_t firstByte = 0;  // index of the block's first byte in the decoded data
    size_t bytes = 0;      // decoded bytes of the block
    int longestLengthSymbol = 0;
    int lengthSymbol285 = 0;  // matches sent as symbol 285
    std::vector<int> literalLengths, distanceLengths, codeLengthLengths;  // dynamic blocks
    bool codesComplete = true;  // every dynamic code fills its code space exactly
    struct Match {
        size_t at;  // index in the decoded data
        int length;
        size_t distance;
    };
    std::vector<Match> matchList;
    int items() const { return literals + matches; }
};

struct DeflateStructure {
    bool ok = false;
    std::string error;
    std::vector<BlockInfo> blocks;
    Bytes data;
    size_t bytesUsed = 0;  // input bytes up to the end of the last block
};

DeflateStructure readDeflateStructure(const Bytes& deflated);

}  // namespace zipsalvage::testing
