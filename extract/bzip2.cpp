// Method 12: bzip2 (APPNOTE 5.7), decoded by libbz2. One stream per entry; its end-of-stream
// marker ends the data. After a damaged block the blocks behind it are still decoded
// (bzip2_resync.cpp).
#include <bzlib.h>

#include <vector>

#include "extract/bzip2_resync.h"
#include "extract/library_decoder.h"
#include "extract/library_methods.h"

namespace zipsalvage {
namespace {

// The decoder's state, released on every way out, with what a search after damage needs.
struct Bzip2Stream {
    bz_stream stream{};
    bool started = false;
    // The data as far as libbz2 was given it, for the blocks to be found again after damage;
    // dropped (no resync then) when it outgrows the libraries' memory limit.
    std::vector<uint8_t> seen;
    bool seenWhole = true;
    bool rejected = false;  // libbz2 found a block damaged
    ~Bzip2Stream() {
        if (started) BZ2_bzDecompressEnd(&stream);
    }
};

void keepSeen(Bzip2Stream& owner, const uint8_t* bytes, size_t count) {
    if (!owner.seenWhole) return;
    if (owner.seen.size() + count > kLibraryMemoryLimit) {
        owner.seenWhole = false;
        std::vector<uint8_t>().swap(owner.seen);
        return;
    }
    owner.seen.insert(owner.seen.end(), bytes, bytes + count);
}

// libbz2 counts in unsigned int: pieces are far below that.
LibraryStep bzip2Step(void* decoder, LibraryCall& call) {
    auto& owner = *static_cast<Bzip2Stream*>(decoder);
    bz_stream& stream = owner.stream;
    const uint8_t* before = call.input;
    stream.next_in = const_cast<char*>(reinterpret_cast<const char*>(call.input));
    stream.avail_in = static_cast<unsigned int>(call.inputLeft);
    stream.next_out = reinterpret_cast<char*>(call.output);
    stream.avail_out = static_cast<unsigned int>(call.outputRoom);
    int status = BZ2_bzDecompress(&stream);
    call.input = reinterpret_cast<const uint8_t*>(stream.next_in);
    call.inputLeft = stream.avail_in;
    call.output = reinterpret_cast<uint8_t*>(stream.next_out);
    call.outputRoom = stream.avail_out;
    keepSeen(owner, before, static_cast<size_t>(call.input - before));
    switch (status) {
        case BZ_OK:
            return LibraryStep::kGoOn;
        case BZ_STREAM_END:
            return LibraryStep::kStreamEnd;
        case BZ_MEM_ERROR:
            return LibraryStep::kNoMemory;
        case BZ_DATA_ERROR:  // a bad block (its codes or its CRC)
            owner.rejected = true;
            keepSeen(owner, call.input, call.inputLeft);
            return LibraryStep::kCorrupt;
        default:  // BZ_DATA_ERROR_MAGIC: not bzip2 at all
            return LibraryStep::kCorrupt;
    }
}

}  // namespace

DecodeResult decodeBzip2(ExtractContext& context) {
    Bzip2Stream owner;
    // small = 0: the fast decoder (about 3.7 MiB for 900k blocks).
    int status = BZ2_bzDecompressInit(&owner.stream, 0, 0);
    if (status == BZ_MEM_ERROR) return DecodeResult{DecodeEnd::kNoMemory, 0, 0};
    if (status != BZ_OK) return DecodeResult{DecodeEnd::kCorruptData, 0, 0};
    owner.started = true;
    DecodeResult result = runLibraryDecoder(context, &owner, bzip2Step);
    if (!owner.rejected || !owner.seenWhole || result.end != DecodeEnd::kCorruptData) {
        return result;
    }
    return resyncBzip2(context, owner.seen, result);
}

}  // namespace zipsalvage
