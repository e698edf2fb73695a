// The decoder targets: inflate, explode, unshrink and unreduce over fuzzed entry data, and the
// methods of outside libraries (bzip2; LZMA and xz; zstd) through the method dispatch, and
// WinZip AES around deflate and stored data.
//
// Input: a mode byte (bits 0-1 the variant: unreduce factor - 1, explode flag bits 1-2; bit 2 a
// truncated archive; bit 3 a recorded size of 4 GiB - 1; bits 4 and 5 a recorded compressed
// size shorter or longer than the data), 3 bytes of recorded uncompressed size, 1 byte by which
// the compressed size differs, 2 bytes of bytes available when truncated; then the data.
#include <algorithm>
#include <string>
#include <vector>

#include "core/zip_format.h"
#include "extract/huffman_decoders.h"
#include "extract/methods.h"
#include "extract/winzip_aes.h"
#include "fuzz/archive_check.h"
#include "fuzz/fuzz_bench.h"
#include "fuzz/fuzz_check.h"
#include "fuzz/fuzz_targets.h"

namespace zipsalvage::fuzz {
namespace {

enum : uint8_t {
    kModeVariant = 0x03,
    kModeTruncated = 0x04,
    kModeHugeSize = 0x08,
    kModeShorterRecord = 0x10,
    kModeLongerRecord = 0x20,
};

// The most each method may write beyond the recorded size: one LZW string, one copy.
constexpr uint64_t kUnshrinkLongestString = 8192;
constexpr uint64_t kUnreduceLongestCopy = 127 + 255 + 3;  // factor 1
constexpr uint64_t kExplodeLongestCopy = 63 + 255 + 3;    // length symbol 63, literal tree
constexpr uint64_t kInflateLongestCopy = 258;
// A decoder that has met the end of its input asks again at most this often before it stops.
constexpr int64_t kFailedReadsAllowed = 8;
// Inflate reads filler past the end and judges the bits it used afterwards, at most once per
// block header: the longest header (19 x 3 + 320 x 14 bits) is under 600 bytes of filler.
constexpr int64_t kInflateFailedReadsAllowed = 640;

struct DecoderCase {
    uint8_t mode = 0;
    uint32_t recordedSize = 0;
    uint32_t compressedSize = 0;
    const uint8_t* data = nullptr;
    size_t dataSize = 0;
    size_t available = 0;
};

DecoderCase parseCase(const uint8_t* bytes, size_t size) {
    FuzzInput input{bytes, size};
    DecoderCase parsed;
    parsed.mode = input.byte();
    uint32_t recorded = input.byte() | input.byte() << 8 | input.byte() << 16;
    uint32_t delta = input.byte();
    uint32_t available = input.le16();
    parsed.data = input.rest();
    parsed.dataSize = input.restSize();
    // Up to 1 MiB keeps a run quick; the huge size shows that only the input stops a decoder.
    parsed.recordedSize = (parsed.mode & kModeHugeSize) ? 0xFFFFFFFFu : recorded & 0xFFFFF;
    auto dataSize = static_cast<uint32_t>(parsed.dataSize);
    parsed.compressedSize = dataSize;
    if (parsed.mode & kModeShorterRecord)
        parsed.compressedSize = dataSize > delta ? dataSize - delta : 0;
    if (parsed.mode & kModeLongerRecord) parsed.compressedSize = dataSize + delta;
    parsed.available = parsed.dataSize;
    if (parsed.mode & kModeTruncated) parsed.available = available % (parsed.dataSize + 1);
    return parsed;
}

struct DecoderRun {
    int result = 0;  // 1 when the method ran to its end
    DecodeResult ending;
    int64_t outputSize = 0;
    int64_t delivered = 0;
    int64_t dataLength = 0;
    MemoryInput input;
};

template <typename Method>
DecoderRun runDecoder(const DecoderCase& parsed, Method method) {
    DecoderRun run;
    run.input.bytes = parsed.data;
    run.input.available = parsed.available;
    RunFlags flags;
    ExtractContext context;
    initExtractContext(context, emptyScratchOutput(), parsed.compressedSize, parsed.recordedSize,
                       false, "", nullptr, run.input.source(), flags);
    run.ending = method(context);
    run.result = ranToEnd(run.ending) ? 1 : 0;
    run.outputSize = scratchOutputSize();
    run.delivered = static_cast<int64_t>(context.delivered);
    run.dataLength = context.dataLength;
    return run;
}

// What every decoder must keep to, whatever its input.
void checkCommon(const DecoderCase& parsed, const DecoderRun& run, uint64_t longestCopy,
                 uint64_t bitsPerCopy, int64_t failedReadsAllowed = kFailedReadsAllowed) {
    FUZZ_CHECK(
        run.ending.end != DecodeEnd::kCancelled && run.ending.end != DecodeEnd::kOutputFailed,
        "a run that was neither cancelled nor short of disk says it was");
    FUZZ_CHECK(run.ending.consumed <= static_cast<uint64_t>(run.delivered),
               "more bytes consumed than delivered");
    FUZZ_CHECK(run.ending.produced == static_cast<uint64_t>(run.outputSize) ||
                   run.ending.end != DecodeEnd::kDone,
               "bytes produced differ from the output's size");
    FUZZ_CHECK(run.delivered >= 0 && run.delivered <= run.dataLength + kDataAllowanceBytes,
               "bytes delivered beyond the data and its 10-byte allowance");
    FUZZ_CHECK(run.input.offset <= parsed.available, "read beyond the archive");
    if (run.input.failedReads > failedReadsAllowed) {
        std::string what =
            "kept reading after the input stopped: " + std::to_string(run.input.failedReads) +
            " failed reads";
        FUZZ_CHECK(false, what.c_str());
    }
    FUZZ_CHECK(run.outputSize >= 0, "output size unknown");
    // The input bounds the output: every symbol costs at least one bit (unshrink: a code of at
    // least 9 bits) and yields at most one copy.
    auto readable = static_cast<uint64_t>(std::min<int64_t>(
        static_cast<int64_t>(parsed.available), std::max<int64_t>(run.dataLength, 0) + 10));
    uint64_t inputBound = (8 * readable / bitsPerCopy + 1) * longestCopy;
    FUZZ_CHECK(static_cast<uint64_t>(run.outputSize) <= inputBound,
               "more output than the input can describe");
}

void checkRecordedBound(const DecoderCase& parsed, const DecoderRun& run, uint64_t longestCopy) {
    FUZZ_CHECK(static_cast<uint64_t>(run.outputSize) <= uint64_t{parsed.recordedSize} + longestCopy,
               "output beyond the recorded size plus one copy");
}

// A library method over the case through the dispatch, as the engine calls it. Variant bits of
// the mode choose, for LZMA, method 14 without (0) or with (1) the end marker, or xz (2, 3).
DecoderRun runLibraryMethod(const DecoderCase& parsed, uint16_t method, uint16_t generalFlags,
                            UnknownRanges* unknown = nullptr) {
    DecoderRun run;
    run.input.bytes = parsed.data;
    run.input.available = parsed.available;
    RunFlags flags;
    EntryData entry;
    entry.method = method;
    entry.generalFlags = generalFlags;
    entry.compressedSize = parsed.compressedSize;
    entry.uncompressedSize = parsed.recordedSize;
    entry.unknown = unknown;
    run.ending = extractEntryData(entry, emptyScratchOutput(), false, "", nullptr,
                                  run.input.source(), flags);
    run.result = ranToEnd(run.ending) ? 1 : 0;
    run.outputSize = scratchOutputSize();
    run.delivered = static_cast<int64_t>(run.input.offset);
    run.dataLength = parsed.compressedSize;
    return run;
}

// What every library method must keep to: the library decodes what it is given, so nothing is
// read past the data, and the output stops within one piece of the recorded size.
void checkLibraryMethod(const DecoderCase& parsed, const DecoderRun& run) {
    constexpr uint64_t kOutputPieceBytes = 65536;
    FUZZ_CHECK(
        run.ending.end != DecodeEnd::kCancelled && run.ending.end != DecodeEnd::kOutputFailed,
        "a run that was neither cancelled nor short of disk says it was");
    FUZZ_CHECK(run.ending.consumed <= static_cast<uint64_t>(run.delivered),
               "more bytes consumed than delivered");
    FUZZ_CHECK(run.ending.produced == static_cast<uint64_t>(run.outputSize),
               "bytes produced differ from the output's size");
    FUZZ_CHECK(run.delivered <= run.dataLength, "read past the data");
    FUZZ_CHECK(run.input.offset <= parsed.available, "read beyond the archive");
    FUZZ_CHECK(run.input.failedReads <= kFailedReadsAllowed,
               "kept reading after the input stopped");
    FUZZ_CHECK(static_cast<uint64_t>(run.outputSize) <= parsed.recordedSize + kOutputPieceBytes,
               "output beyond the recorded size plus one piece");
    if (run.result == 1) {
        FUZZ_CHECK(run.ending.produced <= parsed.recordedSize, "a whole run beyond the size");
    }
}

}  // namespace

int fuzzBzip2(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    // The blocks behind a damaged one are looked for too; the zeros stand inside the output.
    UnknownRanges unknown;
    DecoderRun run = runLibraryMethod(parsed, kMethodBzip2, 0, &unknown);
    checkLibraryMethod(parsed, run);
    for (const ByteRange& range : unknown.ranges) {
        FUZZ_CHECK(range.start < range.end && range.end <= static_cast<uint64_t>(run.outputSize),
                   "an unknown span outside the output");
    }
    FUZZ_CHECK(unknown.ranges.empty() || run.result == 0, "a whole run with unknown bytes");
    return 0;
}

int fuzzLzma(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    const int variant = parsed.mode & kModeVariant;
    const uint16_t method = variant >= 2 ? kMethodXz : kMethodLzma;
    const uint16_t generalFlags = variant == 1 ? kFlagLzmaEndMarker : 0;
    checkLibraryMethod(parsed, runLibraryMethod(parsed, method, generalFlags));
    return 0;
}

int fuzzZstd(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    checkLibraryMethod(parsed, runLibraryMethod(parsed, kMethodZstd, 0));
    return 0;
}

// The entry's data is the salt and verifier, the encrypted data and the 10-byte code; the
// variant chooses AES-256 deflated (0), AES-128 deflated (1), AES-256 stored (2), AES-192
// deflated (3). Decrypted with the password "fuzz" whatever the verifier says, as after a
// verifier that passed by chance; then the code is checked over the same bytes.
int fuzzAes(const uint8_t* data, size_t size) {
    if (ZIPSALVAGE_HAVE_AES == 0) return 0;
    DecoderCase parsed = parseCase(data, size);
    const int variant = parsed.mode & kModeVariant;
    const uint8_t strength = variant == 1 ? 1 : variant == 3 ? 2 : 3;
    const auto headerBytes = static_cast<size_t>(aesHeaderBytes(strength));
    if (parsed.available < headerBytes) return 0;
    const uint8_t* header = parsed.data;
    DecoderRun run;
    run.input.bytes = parsed.data + headerBytes;
    run.input.available = parsed.available - headerBytes;
    RunFlags flags;
    EntryData entry;
    entry.method = variant == 2 ? kMethodStored : kMethodDeflated;
    entry.aesStrength = strength;
    entry.compressedSize = parsed.compressedSize;
    entry.uncompressedSize = parsed.recordedSize;
    run.ending = extractEntryData(entry, emptyScratchOutput(), true, "fuzz", header,
                                  run.input.source(), flags);
    run.outputSize = scratchOutputSize();
    const auto overhead = static_cast<int64_t>(aesOverheadBytes(strength));
    const int64_t dataBytes = std::max<int64_t>(parsed.compressedSize - overhead, 0);
    FUZZ_CHECK(
        run.ending.end != DecodeEnd::kCancelled && run.ending.end != DecodeEnd::kOutputFailed,
        "a run that was neither cancelled nor short of disk says it was");
    FUZZ_CHECK(run.ending.end != DecodeEnd::kNoMemory, "the cipher could not be started");
    FUZZ_CHECK(run.ending.consumed <= run.input.offset, "more bytes consumed than delivered");
    FUZZ_CHECK(run.input.offset <= static_cast<size_t>(dataBytes) + kDataAllowanceBytes,
               "read past the encrypted data and its 10-byte allowance");
    FUZZ_CHECK(run.input.failedReads <= kInflateFailedReadsAllowed,
               "kept reading after the input stopped");
    // Stored data is copied as long as it is, whatever size is recorded; inflate's output is
    // bound by what its input can describe (one copy per bit), as in the inflate target.
    const auto readable = static_cast<uint64_t>(dataBytes) + kDataAllowanceBytes;
    const uint64_t outputBound = entry.method == kMethodStored
                                     ? static_cast<uint64_t>(dataBytes)
                                     : (8 * readable + 1) * kInflateLongestCopy;
    FUZZ_CHECK(static_cast<uint64_t>(run.outputSize) <= outputBound,
               "more output than the encrypted data can describe");

    MemoryInput codeInput;
    codeInput.bytes = run.input.bytes;
    codeInput.available = run.input.available;
    AesCodeCheck check = checkAesCode("fuzz", strength, header, codeInput.source(),
                                      static_cast<uint64_t>(dataBytes));
    const bool whole = codeInput.available >= static_cast<size_t>(dataBytes) + kAesCodeBytes;
    FUZZ_CHECK(check != AesCodeCheck::kFailed, "the code could not be computed");
    FUZZ_CHECK((check == AesCodeCheck::kCutShort) == !whole,
               "a code said cut short where it is all there, or the reverse");
    FUZZ_CHECK(codeInput.offset <= codeInput.available, "the code check read beyond the archive");
    return 0;
}

int fuzzUnshrink(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    DecoderRun run = runDecoder(parsed, [](ExtractContext& context) { return unshrink(context); });
    checkCommon(parsed, run, kUnshrinkLongestString, 9);
    checkRecordedBound(parsed, run, kUnshrinkLongestString);
    // Unshrink never fails: however decoding ends, what it decoded is the result.
    FUZZ_CHECK(run.result == 1, "unshrink failed");
    FUZZ_CHECK(run.delivered <= std::max<int64_t>(run.dataLength, 0),
               "unshrink read past its data");
    return 0;
}

int fuzzUnreduce(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    int factor = (parsed.mode & kModeVariant) + 1;
    DecoderRun run =
        runDecoder(parsed, [factor](ExtractContext& context) { return unreduce(context, factor); });
    checkCommon(parsed, run, kUnreduceLongestCopy, 1);
    checkRecordedBound(parsed, run, kUnreduceLongestCopy);
    FUZZ_CHECK(run.delivered <= std::max<int64_t>(run.dataLength, 0),
               "unreduce read past its data");
    return 0;
}

int fuzzExplode(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    auto generalFlags = static_cast<uint16_t>((parsed.mode & kModeVariant) << 1);
    DecoderRun run = runDecoder(
        parsed, [generalFlags](ExtractContext& context) { return explode(context, generalFlags); });
    checkCommon(parsed, run, kExplodeLongestCopy, 1);
    checkRecordedBound(parsed, run, kExplodeLongestCopy);
    return 0;
}

int fuzzInflate(const uint8_t* data, size_t size) {
    DecoderCase parsed = parseCase(data, size);
    DecoderRun run = runDecoder(parsed, [](ExtractContext& context) { return inflate(context); });
    checkCommon(parsed, run, kInflateLongestCopy, 1, kInflateFailedReadsAllowed);

    // zlib sees what inflate could have read; the bytes both produced must agree.
    size_t visible = std::min<size_t>(parsed.available, size_t{parsed.compressedSize} + 10);
    std::vector<uint8_t> expected;
    size_t consumed = 0;
    size_t limit = std::max<size_t>(static_cast<size_t>(run.outputSize) + 1, size_t{1} << 22);
    bool ended = zlibInflate(parsed.data, visible, expected, &consumed, limit);
    std::vector<uint8_t> produced = scratchOutputBytes();
    size_t common = std::min(produced.size(), expected.size());
    FUZZ_CHECK(std::equal(produced.begin(), produced.begin() + static_cast<long>(common),
                          expected.begin()),
               "inflate and zlib disagree on bytes both produced");
    // A stream that ends inside data that can all be read decodes whole.
    if (ended && consumed <= parsed.compressedSize && parsed.compressedSize <= parsed.available) {
        FUZZ_CHECK(run.result == 1, "inflate failed on a stream zlib decodes");
        FUZZ_CHECK(produced == expected, "inflate output differs from zlib's");
        // Where a stream of unknown size ends is where the final block's last bit lies.
        FUZZ_CHECK(run.ending.consumed == consumed, "inflate's data end differs from zlib's");
    }
    return 0;
}

}  // namespace zipsalvage::fuzz
