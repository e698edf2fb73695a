// Test harness: deflateFile between two files, and zlib's inflate as the oracle.
#include "tests/recompress/deflate_harness.h"

#include <utility>

#include "core/memory_blocks.h"
#include "platform/platform.h"
#include "recompress/deflate.h"
#include "tests/support/zlib_oracle.h"

namespace zipsalvage::testing {
namespace {

DeflateRun runDeflate(FileHandle inputFile, RunFlags& runFlags, int failAllocation) {
    TempDir folder;
    std::string outputPath = folder.file("output.bin");
    DeflateRun run;
    FileHandle outputFile = createReadWrite(outputPath.c_str());
    RecompressStream stream;
    if (inputFile == kInvalidFile || outputFile == kInvalidFile ||
        !initRecompressStream(stream, inputFile, outputFile, runFlags)) {
        closeFile(outputFile);
        return run;
    }
    failAllocationAfter(failAllocation);
    run.completed = deflateFile(stream);
    failAllocationAfter(0);
    if (run.completed) {
        writeFile(outputFile, stream.outBuffer, static_cast<uint32_t>(stream.outFill));
    }
    run.crc = stream.crc;
    run.bytesWritten = stream.bytesWritten;
    int64_t filePos = filePosition(inputFile);
    run.inputConsumed =
        filePos < 0 ? -1 : static_cast<int32_t>(filePos) - stream.inFill + stream.inPos;
    freeRecompressStream(stream);
    closeFile(outputFile);
    run.output = readWholeFile(outputPath);
    return run;
}

}  // namespace

DeflateRun deflateBytes(const Bytes& input, RunFlags* flags, int failAllocation) {
    TempDir folder;
    std::string inputPath = folder.file("input.bin");
    writeWholeFile(inputPath, input);
    RunFlags ownFlags;
    FileHandle inputFile = openExistingForRead(inputPath.c_str());
    DeflateRun run = runDeflate(inputFile, flags != nullptr ? *flags : ownFlags, failAllocation);
    closeFile(inputFile);
    return run;
}

DeflateRun deflateFrom(FileHandle inputFile, RunFlags& flags) {
    return runDeflate(inputFile, flags, 0);
}

Bytes zlibInflate(const Bytes& deflated, bool* complete) {
    ZlibInflated inflated = zlibInflateRaw(deflated);
    if (complete != nullptr) *complete = inflated.complete && inflated.consumed == deflated.size();
    return std::move(inflated.content);
}

}  // namespace zipsalvage::testing
