// The CRC-32 of a flip's trial that rejoined the damaged stream's decoding, told without
// decoding the rest: APPNOTE 4.4.7's CRC-32 is linear over the bytes, and behind the point
// where the two decodings meet the trial's bytes are the decoding's own, moved by the change in
// size, except where a copy reaches back over that point.
#pragma once

#include <cstdint>
#include <vector>

namespace zipsalvage {

// A match of the decoding: bytes [to, to + length) copied from `distance` bytes back.
struct DecodedCopy {
    uint64_t to;
    uint64_t length;
    uint64_t distance;
};

// The damaged stream's decoding as the sums need it (copies in output order), and what is
// worked out from it once for every trial whose size differs from it by `sizeChange`.
struct RejoinCrc {
    const std::vector<uint8_t>* bytes = nullptr;
    uint64_t total = 0;
    const std::vector<DecodedCopy>* copies = nullptr;
    int64_t sizeChange = 0;
    uint32_t decodedRegister = 0;       // of all the decoding's bytes
    std::vector<uint32_t> weights;      // per offset: its power of x and its copies'
    std::vector<uint32_t> crossing;     // per offset: what copies over it add, moved
    std::vector<uint32_t> checkpoints;  // the register before every 256 bytes
    uint32_t squares[48] = {};          // x^(8 2^i)
    std::vector<uint32_t> corrections;  // scratch of one trial
};

void prepareRejoinCrc(const std::vector<uint8_t>& bytes, uint64_t total,
                      const std::vector<DecodedCopy>& copies, int64_t sizeChange, RejoinCrc& crc);

// The CRC-32 of the trial that wrote `work` from offset `from` on and met the decoding where
// the decoding stood at offset `rejoined`, the trial then `sizeChange` bytes further.
uint32_t rejoinedTrialCrc(RejoinCrc& crc, const std::vector<uint8_t>& work, uint64_t from,
                          uint64_t rejoined);

}  // namespace zipsalvage
