// The generated-stream target: the input chooses a valid deflate or Deflate64 stream (every
// block type, length and distance code, the whole window; see deflate_stream_generator.h) and
// inflate must decode it exactly to what the generator encoded (and deflate as zlib does).
//
// Input: a mode byte (bit 0: a longer stream that reaches far back; bit 1: Deflate64), then
// the generator's choices; past the input's end they continue pseudo-randomly, seeded by the
// input.
#include <algorithm>
#include <vector>

#include "extract/huffman_decoders.h"
#include "fuzz/archive_check.h"
#include "fuzz/deflate_stream_generator.h"
#include "fuzz/fuzz_bench.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

enum : uint8_t { kModeLong = 0x01, kModeDeflate64 = 0x02 };

// Most inputs make short streams (quick runs); a long one passes the window's size a few times.
size_t contentTargetOf(uint8_t mode, ChoiceSource& choices) {
    if (mode & kModeLong) return 32768 + choices.below(4 * 32768);
    return choices.below(4096);
}

}  // namespace

int fuzzGeneratedStream(const uint8_t* data, size_t size) {
    FuzzInput header{data, size};
    uint8_t mode = header.byte();
    ChoiceSource choices(header.rest(), header.restSize());
    size_t target = contentTargetOf(mode, choices);
    const bool deflate64 = (mode & kModeDeflate64) != 0;
    GeneratedStream generated = generateDeflateStream(
        choices, deflate64 ? DeflateVariant::kDeflate64 : DeflateVariant::kDeflate, target);

    if (!deflate64) {
        std::vector<uint8_t> fromZlib;
        bool zlibEnded = zlibInflate(generated.stream.data(), generated.stream.size(), fromZlib);
        FUZZ_CHECK(zlibEnded && fromZlib == generated.content,
                   "the generator wrote a stream zlib does not decode to its content");
    }

    MemoryInput input;
    input.bytes = generated.stream.data();
    input.available = generated.stream.size();
    RunFlags flags;
    ExtractContext context;
    initExtractContext(
        context, emptyScratchOutput(), static_cast<uint32_t>(generated.stream.size()),
        static_cast<uint32_t>(generated.content.size()), false, "", nullptr, input.source(), flags);
    DecodeResult result = deflate64 ? inflateDeflate64(context) : inflate(context);
    FUZZ_CHECK(ranToEnd(result), "inflate failed on a valid stream");
    // Where the stream ends is where a streamed entry's data descriptor is looked for.
    FUZZ_CHECK(result.consumed == generated.stream.size(),
               "inflate misplaced the end of a valid stream");
    FUZZ_CHECK(scratchOutputBytes() == generated.content,
               "inflate decoded a valid stream to other bytes");
    return 0;
}

}  // namespace zipsalvage::fuzz
