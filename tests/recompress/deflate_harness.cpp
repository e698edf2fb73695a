// Test harness: deflateFile between two temporary files, and zlib's inflate as the oracle.
#include "tests/recompress/deflate_harness.h"

#include <zlib.h>

#include "platform/platform.h"
#include "recompress/deflate.h"

namespace zipsalvage::testing {

DeflateRun deflateBytes(const Bytes& input, RunFlags* flags) {
    TempDir folder;
    std::string inputPath = folder.file("input.bin");
    std::string outputPath = folder.file("output.bin");
    writeWholeFile(inputPath, input);
    RunFlags ownFlags;
    RunFlags& runFlags = flags != nullptr ? *flags : ownFlags;

    DeflateRun run;
    FileHandle inputFile = openExistingForRead(inputPath.c_str());
    FileHandle outputFile = createReadWrite(outputPath.c_str());
    RecompressStream stream;
    if (inputFile == kInvalidFile || outputFile == kInvalidFile ||
        !initRecompressStream(stream, inputFile, outputFile, runFlags)) {
        closeFile(inputFile);
        closeFile(outputFile);
        return run;
    }
    run.result = deflateFile(stream);
    if (run.result == 1) {
        writeFile(outputFile, stream.outBuffer, static_cast<uint32_t>(stream.outFill));
    }
    run.crc = stream.crc;
    run.bytesWritten = stream.bytesWritten;
    run.inputConsumed =
        static_cast<int32_t>(filePosition(inputFile)) - stream.inFill + stream.inPos;
    freeRecompressStream(stream);
    closeFile(inputFile);
    closeFile(outputFile);
    run.output = readWholeFile(outputPath);
    return run;
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
        if (status == Z_BUF_ERROR && zs.avail_out != 0) break;  // input ran out
        if (status == Z_BUF_ERROR) status = Z_OK;
    }
    if (complete != nullptr) *complete = status == Z_STREAM_END && zs.avail_in == 0;
    inflateEnd(&zs);
    return result;
}

}  // namespace zipsalvage::testing
