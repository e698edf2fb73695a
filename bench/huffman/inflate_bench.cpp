// Inflate throughput against zlib's inflate on the same raw deflate streams, in the same run.
//
// The corpus is gathered from the machine: headers and text, binaries and libraries, and files
// that are already compressed, each deflated on its own at level 6 before timing starts.
// Reported: MB/s of output for zlib (into memory), for inflate writing its windows through
// flushWindow to a temporary file, and for inflate with output disabled, with the ratios to zlib.
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/crc32.h"
#include "extract/extract_context.h"
#include "extract/huffman_decoders.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

struct Stream {
    Bytes compressed;
    uint32_t originalSize;
    uint32_t originalCrc;
    std::string path;
};

struct Category {
    const char* name;
    std::vector<const char*> roots;
    bool (*accepts)(const fs::path& path);
    size_t quotaBytes;
};

bool anyFile(const fs::path&) { return true; }
bool isGzip(const fs::path& path) { return path.extension() == ".gz"; }
bool isTextLike(const fs::path& path) {
    std::string extension = path.extension().string();
    return extension == ".h" || extension == ".hpp" || extension == ".txt" || extension.empty() ||
           extension == ".html" || extension == ".py";
}

Bytes readFileBytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes deflateRaw(const Bytes& input) {
    z_stream stream{};
    deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    Bytes output(deflateBound(&stream, input.size()) + 64);
    stream.next_in = const_cast<Bytef*>(input.data());
    stream.avail_in = static_cast<uInt>(input.size());
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    ::deflate(&stream, Z_FINISH);
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

uint32_t crcOf(const uint8_t* bytes, size_t size) {
    return zipsalvage::crc32Update(0xFFFFFFFFu, bytes, size) ^ 0xFFFFFFFFu;
}

// Collects up to the category's quota of files (1 KiB to 8 MiB each), in path order.
void gather(const Category& category, std::vector<Stream>& streams, size_t& totalBytes) {
    std::vector<fs::path> paths;
    for (const char* root : category.roots) {
        std::error_code error;
        for (auto it = fs::recursive_directory_iterator(
                 root, fs::directory_options::skip_permission_denied, error);
             it != fs::recursive_directory_iterator(); it.increment(error)) {
            if (error) break;
            if (!it->is_regular_file(error) || it->is_symlink(error)) continue;
            auto size = it->file_size(error);
            if (error || size < 1024 || size > (8u << 20)) continue;
            if (category.accepts(it->path())) paths.push_back(it->path());
        }
    }
    std::sort(paths.begin(), paths.end());
    size_t taken = 0;
    size_t files = 0;
    for (const fs::path& path : paths) {
        if (taken >= category.quotaBytes) break;
        Bytes original = readFileBytes(path);
        if (original.empty()) continue;
        streams.push_back(Stream{deflateRaw(original), static_cast<uint32_t>(original.size()),
                                 crcOf(original.data(), original.size()), path.string()});
        taken += original.size();
        ++files;
    }
    totalBytes += taken;
    std::printf("  %-12s %6zu files %8.1f MB\n", category.name, files,
                static_cast<double>(taken) / 1e6);
}

// Compressed bytes served from memory, as the archive reader would serve them.
struct MemoryInput {
    const Bytes* bytes;
    size_t offset;
};

bool readMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& input = *static_cast<MemoryInput*>(owner);
    size_t left = input.bytes->size() - input.offset;
    if (static_cast<size_t>(count) > left) {
        input.offset = input.bytes->size();
        return false;
    }
    std::memcpy(destination, input.bytes->data() + input.offset, static_cast<size_t>(count));
    input.offset += static_cast<size_t>(count);
    return true;
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

double timeZlib(const std::vector<Stream>& streams, Bytes& scratch, bool verify) {
    auto start = std::chrono::steady_clock::now();
    for (const Stream& stream : streams) {
        z_stream inflater{};
        inflateInit2(&inflater, -15);
        inflater.next_in = const_cast<Bytef*>(stream.compressed.data());
        inflater.avail_in = static_cast<uInt>(stream.compressed.size());
        inflater.next_out = scratch.data();
        inflater.avail_out = static_cast<uInt>(scratch.size());
        int status = ::inflate(&inflater, Z_FINISH);
        if (status != Z_STREAM_END || inflater.total_out != stream.originalSize ||
            (verify && crcOf(scratch.data(), stream.originalSize) != stream.originalCrc)) {
            std::fprintf(stderr, "zlib failed on a stream\n");
            std::exit(1);
        }
        inflateEnd(&inflater);
    }
    return secondsSince(start);
}

double timeOurs(const std::vector<Stream>& streams, zipsalvage::FileHandle output,
                bool outputEnabled) {
    zipsalvage::RunFlags flags;
    auto* context = new zipsalvage::ExtractContext;
    auto start = std::chrono::steady_clock::now();
    for (const Stream& stream : streams) {
        MemoryInput input{&stream.compressed, 0};
        zipsalvage::initExtractContext(
            *context, output, static_cast<uint32_t>(stream.compressed.size()), stream.originalSize,
            false, "", nullptr, zipsalvage::EntryByteSource{&input, readMemory, nullptr}, flags);
        context->outputEnabled = outputEnabled;
        if (!ranToEnd(zipsalvage::inflate(*context))) {
            std::fprintf(stderr, "inflate failed on a stream\n");
            std::exit(1);
        }
    }
    double seconds = secondsSince(start);
    delete context;
    return seconds;
}

// Runs our inflate into a real file for every stream and checks size and CRC-32.
void verifyOurs(const std::vector<Stream>& streams) {
    std::string path = (fs::temp_directory_path() / "inflate_bench_verify.bin").string();
    zipsalvage::RunFlags flags;
    auto* context = new zipsalvage::ExtractContext;
    for (const Stream& stream : streams) {
        zipsalvage::FileHandle file = zipsalvage::createReadWrite(path.c_str());
        MemoryInput input{&stream.compressed, 0};
        zipsalvage::initExtractContext(
            *context, file, static_cast<uint32_t>(stream.compressed.size()), stream.originalSize,
            false, "", nullptr, zipsalvage::EntryByteSource{&input, readMemory, nullptr}, flags);
        int result = ranToEnd(zipsalvage::inflate(*context)) ? 1 : 0;
        zipsalvage::closeFile(file);
        Bytes produced = readFileBytes(path);
        if (result != 1 || produced.size() != stream.originalSize ||
            crcOf(produced.data(), produced.size()) != stream.originalCrc) {
            std::fprintf(stderr,
                         "inflate produced wrong output for %s: result %d, %zu of %u bytes\n",
                         stream.path.c_str(), result, produced.size(), stream.originalSize);
            std::exit(1);
        }
    }
    delete context;
    fs::remove(path);
}

}  // namespace

int main(int argc, char** argv) {
    double scale = argc > 1 ? std::atof(argv[1]) : 1.0;  // corpus size factor
    auto quota = [scale](double megabytes) { return static_cast<size_t>(megabytes * scale * 1e6); };
    std::vector<Category> categories = {
        {"headers", {"/usr/include"}, isTextLike, quota(35)},
        {"text",
         {"/usr/share/doc", "/usr/share/common-licenses", "/usr/share/perl"},
         isTextLike,
         quota(15)},
        {"binaries", {"/usr/bin", "/usr/lib/x86_64-linux-gnu", "/usr/lib"}, anyFile, quota(40)},
        {"compressed", {"/usr/share/doc", "/usr/share/man"}, isGzip, quota(15)},
    };
    std::printf("corpus (each file its own raw deflate stream, zlib level 6):\n");
    std::vector<Stream> streams;
    size_t totalBytes = 0;
    for (const Category& category : categories) gather(category, streams, totalBytes);
    size_t compressedBytes = 0;
    size_t largest = 0;
    for (const Stream& stream : streams) {
        compressedBytes += stream.compressed.size();
        largest = std::max<size_t>(largest, stream.originalSize);
    }
    std::printf("  total        %6zu files %8.1f MB -> %.1f MB compressed\n", streams.size(),
                static_cast<double>(totalBytes) / 1e6, static_cast<double>(compressedBytes) / 1e6);

    verifyOurs(streams);
    // "decode-only": five runs of inflate with output disabled, nothing else (for perf stat).
    if (argc > 2 && std::strcmp(argv[2], "decode-only") == 0) {
        double best = 1e9;
        for (int round = 0; round < 5; ++round) {
            best = std::min(best, timeOurs(streams, zipsalvage::kInvalidFile, false));
        }
        std::printf("inflate, output disabled: best %.3f s\n", best);
        return 0;
    }
    Bytes scratch(largest);
    timeZlib(streams, scratch, true);
    // One output file, rewritten from offset 0 by every stream, as each entry's temporary file.
    std::string outputPath = (fs::temp_directory_path() / "inflate_bench_output.bin").string();
    zipsalvage::FileHandle outputFile = zipsalvage::createReadWrite(outputPath.c_str());
    // The machine may be shared: rounds alternate the decoders, and both the best times and
    // the median of the per-round ratios are reported.
    constexpr int kRounds = 7;
    double zlibBest = 1e9;
    double oursBest = 1e9;
    double decodeBest = 1e9;
    std::vector<double> fileRatios;
    std::vector<double> decodeRatios;
    for (int round = 0; round < kRounds; ++round) {
        double zlibSeconds = timeZlib(streams, scratch, false);
        double oursSeconds = timeOurs(streams, outputFile, true);
        double decodeSeconds = timeOurs(streams, outputFile, false);
        zlibBest = std::min(zlibBest, zlibSeconds);
        oursBest = std::min(oursBest, oursSeconds);
        decodeBest = std::min(decodeBest, decodeSeconds);
        fileRatios.push_back(zlibSeconds / oursSeconds);
        decodeRatios.push_back(zlibSeconds / decodeSeconds);
    }
    std::sort(fileRatios.begin(), fileRatios.end());
    std::sort(decodeRatios.begin(), decodeRatios.end());
    zipsalvage::closeFile(outputFile);
    fs::remove(outputPath);
    double megabytes = static_cast<double>(totalBytes) / 1e6;
    std::printf("best of %d rounds, MB/s of output (ratio of best times; median round ratio):\n",
                kRounds);
    std::printf("  zlib inflate into memory           %8.1f\n", megabytes / zlibBest);
    std::printf("  inflate, windows to a file         %8.1f   ratio %.2f; median %.2f\n",
                megabytes / oursBest, zlibBest / oursBest, fileRatios[kRounds / 2]);
    std::printf("  inflate, output disabled           %8.1f   ratio %.2f; median %.2f\n",
                megabytes / decodeBest, zlibBest / decodeBest, decodeRatios[kRounds / 2]);
    return 0;
}
