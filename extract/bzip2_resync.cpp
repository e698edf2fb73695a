// After a damaged bzip2 block: the entry's blocks, found by their 48-bit magic (bzip2 blocks
// are bit-aligned and independent), each decoded by libbz2 as a stream of its own. Those behind
// the damage are placed from the end of the recorded size, so that they land at their offsets;
// the damaged block's bytes and any lost with it are written as zeros and listed as unknown.
#include "extract/bzip2_resync.h"

#include <bzlib.h>

#include <vector>

#include "extract/library_decoder.h"

namespace zipsalvage {
namespace {

constexpr uint64_t kBlockMagic = 0x314159265359ull;  // pi: a block header
constexpr uint64_t kEndMagic = 0x177245385090ull;    // sqrt(pi): the end of the stream
constexpr uint64_t kMagicMask = (uint64_t{1} << 48) - 1;
constexpr int kMagicBits = 48;
// A 900k block compresses to a little more than 900000 bytes at worst; anything longer is not
// one block (a lost magic joined two), and is decoded as far as it goes.
constexpr size_t kLongestBlockBytes = 2 * 1024 * 1024;
// What one lost block can stand for in the output: bzip2's runs let a block describe far more
// than 900k bytes, but not more than this; a recorded size beyond it is not believed.
constexpr uint64_t kLongestBlockOutput = uint64_t{64} << 20;
constexpr uint32_t kPieceBytes = 65536;

// Bits appended one by one, most significant bit first (as bzip2 packs them).
struct BitCollector {
    std::vector<uint8_t> bytes;
    uint64_t bitCount = 0;
    void add(unsigned bit) {
        if (bitCount % 8 == 0) bytes.push_back(0);
        if (bit) bytes.back() |= static_cast<uint8_t>(0x80u >> (bitCount % 8));
        ++bitCount;
    }
    void addBits(uint64_t value, int count) {
        for (int index = count - 1; index >= 0; --index) add((value >> index) & 1u);
    }
    unsigned bitAt(uint64_t index) const { return (bytes[index / 8] >> (7 - index % 8)) & 1u; }
};

// One block as a stream of its own: "BZh" and the entry's level, the block (magic first), the
// end-of-stream magic and the stream CRC, which for one block is the block's CRC (the 32 bits
// behind its magic).
struct StreamBlock {
    std::vector<uint8_t> stream;
    bool decodes = false;
    uint64_t length = 0;  // bytes it decodes to
};

std::vector<uint8_t> blockStream(const BitCollector& block, uint64_t blockBits, char level) {
    BitCollector stream;
    for (char letter : {'B', 'Z', 'h', level}) stream.addBits(static_cast<uint8_t>(letter), 8);
    for (uint64_t index = 0; index < blockBits; ++index) stream.add(block.bitAt(index));
    uint64_t crc = 0;
    for (uint64_t index = kMagicBits; index < kMagicBits + 32 && index < blockBits; ++index) {
        crc = crc << 1 | block.bitAt(index);
    }
    stream.addBits(kEndMagic, kMagicBits);
    stream.addBits(crc, 32);
    return std::move(stream.bytes);
}

// Decodes one block's stream; writes at `position` when `context` is given. False unless the
// stream decoded whole (its block CRC checked by libbz2).
bool decodeBlock(std::vector<uint8_t>& stream, ExtractContext* context, uint64_t position,
                 uint64_t& length) {
    bz_stream state{};
    length = 0;
    if (BZ2_bzDecompressInit(&state, 0, 0) != BZ_OK) return false;
    std::vector<uint8_t> piece(kPieceBytes);
    state.next_in = reinterpret_cast<char*>(stream.data());
    state.avail_in = static_cast<unsigned int>(stream.size());
    int status = BZ_OK;
    while (status == BZ_OK) {
        state.next_out = reinterpret_cast<char*>(piece.data());
        state.avail_out = kPieceBytes;
        status = BZ2_bzDecompress(&state);
        auto given = static_cast<uint32_t>(kPieceBytes - state.avail_out);
        if (context != nullptr && given > 0) {
            writeOutputAt(*context, piece.data(), static_cast<int64_t>(position + length), given);
        }
        length += given;
        if (status == BZ_OK && given == 0 && state.avail_in == 0) break;  // cut short
        if (length > kLongestBlockOutput) break;
    }
    BZ2_bzDecompressEnd(&state);
    return status == BZ_STREAM_END;
}

// Splits the data into blocks at their magics, up to the end-of-stream magic or the data's
// end: `start` first, then what the context still delivers. Bits in front of the first magic
// (the stream header) are skipped.
std::vector<StreamBlock> findBlocks(ExtractContext& context, const std::vector<uint8_t>& start) {
    std::vector<StreamBlock> blocks;
    std::vector<uint8_t> piece(kPieceBytes);
    BitCollector current;
    bool inBlock = false;
    uint64_t recent = 0;
    uint64_t heldBytes = 0;
    // The stream header's block size (1 to 9 hundred thousand bytes) sizes libbz2's work area
    // for each block; a damaged header gets the largest.
    const char level = start.size() >= 4 && start[0] == 'B' && start[1] == 'Z' && start[2] == 'h' &&
                               start[3] >= '1' && start[3] <= '9'
                           ? static_cast<char>(start[3])
                           : '9';
    auto finish = [&](uint64_t blockBits) {
        StreamBlock block;
        block.stream = blockStream(current, blockBits, level);
        heldBytes += block.stream.size();
        blocks.push_back(std::move(block));
    };
    auto take = [&](const uint8_t* bytes, size_t count) {
        for (size_t at = 0; at < count; ++at) {
            for (int bit = 7; bit >= 0; --bit) {
                unsigned value = (bytes[at] >> bit) & 1u;
                recent = (recent << 1 | value) & kMagicMask;
                if (inBlock) current.add(value);
                if (inBlock && current.bytes.size() > kLongestBlockBytes) {
                    finish(current.bitCount);
                    current = BitCollector{};
                    inBlock = false;
                }
                if (recent == kBlockMagic || recent == kEndMagic) {
                    if (inBlock) finish(current.bitCount - kMagicBits);
                    current = BitCollector{};
                    inBlock = recent == kBlockMagic;
                    if (recent == kEndMagic) return false;
                    current.addBits(kBlockMagic, kMagicBits);
                }
            }
        }
        return heldBytes < kLibraryMemoryLimit;
    };
    bool goOn = take(start.data(), start.size());
    while (goOn && !shouldStop(*context.flags)) {
        uint32_t got = readLibraryPiece(context, piece.data(), kPieceBytes);
        if (got == 0) break;
        goOn = take(piece.data(), got);
    }
    // A block the data ends inside is decoded as far as it goes.
    if (inBlock && current.bitCount > kMagicBits) finish(current.bitCount);
    return blocks;
}

}  // namespace

DecodeResult resyncBzip2(ExtractContext& context, const std::vector<uint8_t>& start,
                         DecodeResult failed) {
    if (context.unknown == nullptr) return failed;
    std::vector<StreamBlock> blocks = findBlocks(context, start);
    size_t firstFailing = blocks.size();
    size_t firstPlaced = 0;  // behind the last block that fails
    for (size_t index = 0; index < blocks.size(); ++index) {
        blocks[index].decodes = decodeBlock(blocks[index].stream, nullptr, 0, blocks[index].length);
        if (blocks[index].decodes) continue;
        if (firstFailing == blocks.size()) firstFailing = index;
        firstPlaced = index + 1;
    }
    if (firstFailing == blocks.size() || shouldStop(*context.flags)) return failed;
    // libbz2 wrote the blocks before the damaged one as they are, and then what it made of the
    // damaged one up to where it noticed: that is not the entry's, so it is overwritten.
    uint64_t damageStart = 0;
    for (size_t index = 0; index < firstFailing; ++index) damageStart += blocks[index].length;
    if (damageStart > failed.produced) damageStart = failed.produced;
    uint64_t placedLength = 0;
    for (size_t index = firstPlaced; index < blocks.size(); ++index) {
        placedLength += blocks[index].length;
    }
    const uint64_t size = context.uncompressedSize;
    const uint64_t lostBlocks = firstPlaced - firstFailing;
    // The blocks behind the last damaged one end at the recorded size, when it can be right.
    bool placing = !context.lengthUnknown && placedLength > 0 && placedLength <= size &&
                   size - placedLength >= damageStart &&
                   size - placedLength - damageStart <= lostBlocks * kLongestBlockOutput;
    const uint64_t unknownEnd = placing ? size - placedLength : failed.produced;
    const uint64_t zeroEnd = unknownEnd > failed.produced ? unknownEnd : failed.produced;
    if (context.outputEnabled) {
        std::vector<uint8_t> zeros(kPieceBytes, 0);
        for (uint64_t at = damageStart; at < zeroEnd;) {
            auto count =
                static_cast<uint32_t>(zeroEnd - at < kPieceBytes ? zeroEnd - at : kPieceBytes);
            writeOutputAt(context, zeros.data(), static_cast<int64_t>(at), count);
            at += count;
        }
    }
    markUnknown(*context.unknown, damageStart, unknownEnd);
    uint64_t position = unknownEnd;
    for (size_t index = firstPlaced; placing && index < blocks.size(); ++index) {
        uint64_t length = 0;
        decodeBlock(blocks[index].stream, context.outputEnabled ? &context : nullptr, position,
                    length);
        position += length;
    }
    DecodeResult result = failed;
    result.produced = position > zeroEnd ? position : zeroEnd;
    result.end = endUnlessStopped(*context.flags, DecodeEnd::kCorruptData);
    return result;
}

}  // namespace zipsalvage
