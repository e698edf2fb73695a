// Test harness: deflateFile between two files, and zlib's inflate as the oracle.
#include "tests/recompress/deflate_harness.h"

#include <zlib.h>

#include "core/memory_blocks.h"
#include "platform/platform.h"
#include "recompress/deflate.h"

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
    run.result = deflateFile(stream);
    failAllocationAfter(0);
    if (run.result == 1) {
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
    z_stream zs{};
    inflateInit2(&zs, -15);
    Bytes result;
    Bytes chunk(65536);
    zs.next_in = const_cast<Bytef*>(deflated.data());
    zs.avail_in = static_cast<uInt>(deflated.size());
    int status = Z_OK;
    while (status == Z_OK) {
        zs.next_out = chunk.data();
        zs.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&zs, Z_NO_FLUSH);
        result.insert(result.end(), chunk.data(), zs.next_out);
        if (status == Z_BUF_ERROR && zs.avail_out == 0) status = Z_OK;  // more output to come
    }
    if (complete != nullptr) *complete = status == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return result;
}

}  // namespace zipsalvage::testing
