// Scan throughput: runSalvage over a file without a single local header signature, against
// `cat FILE > /dev/null` and a bare loop of 1000-byte read() calls over the same file in the
// same run (best of three each).
//
// usage: scan_bench [megabytes=200] [folder=/tmp]
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/run/salvage_run.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// Random bytes with every 0x03 turned into 0x02: "PK" occurs, "PK\3\4" never does.
void writeSignatureFreeFile(const std::string& path, size_t megabytes) {
    FILE* out = std::fopen(path.c_str(), "wb");
    std::vector<unsigned char> chunk(1 << 20);
    uint64_t state = 88172645463325252ull;
    for (size_t block = 0; block < megabytes; ++block) {
        for (auto& byte : chunk) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            byte = static_cast<unsigned char>(state >> 32);
            if (byte == 0x03) byte = 0x02;
        }
        std::fwrite(chunk.data(), 1, chunk.size(), out);
    }
    std::fclose(out);
}

double timeReadLoop(const std::string& path, uint64_t& total) {
    int descriptor = ::open(path.c_str(), O_RDONLY);
    char buffer[1000];
    auto start = Clock::now();
    total = 0;
    ssize_t got = 0;
    while ((got = ::read(descriptor, buffer, sizeof buffer)) > 0)
        total += static_cast<uint64_t>(got);
    double seconds = secondsSince(start);
    ::close(descriptor);
    return seconds;
}

double timeCat(const std::string& path) {
    std::string command = "cat '" + path + "' > /dev/null";
    auto start = Clock::now();
    if (std::system(command.c_str()) != 0) return 1e9;
    return secondsSince(start);
}

double timeScan(const std::string& path, const std::string& output) {
    auto* runOwner = new zipsalvage::SalvageRun;
    zipsalvage::SalvageRun& run = *runOwner;
    zipsalvage::openArchive(run, path.c_str());
    zipsalvage::createOutput(run, output.c_str());
    auto start = Clock::now();
    zipsalvage::runSalvage(run);
    double seconds = secondsSince(start);
    zipsalvage::closeRunFiles(run);
    delete runOwner;
    return seconds;
}

}  // namespace

int main(int argumentCount, char** arguments) {
    size_t megabytes = argumentCount > 1 ? std::strtoul(arguments[1], nullptr, 10) : 200;
    std::string folder = argumentCount > 2 ? arguments[2] : "/tmp";
    std::string path = folder + "/scan-bench.bin";
    std::string output = folder + "/scan-bench-out.zip";
    writeSignatureFreeFile(path, megabytes);
    uint64_t total = 0;
    timeReadLoop(path, total);  // warm the page cache
    double bestRead = 1e9;
    double bestScan = 1e9;
    double bestCat = 1e9;
    for (int round = 0; round < 3; ++round) {
        double read = timeReadLoop(path, total);
        double cat = timeCat(path);
        double scan = timeScan(path, output);
        if (read < bestRead) bestRead = read;
        if (cat < bestCat) bestCat = cat;
        if (scan < bestScan) bestScan = scan;
    }
    double megabytesRead = static_cast<double>(total) / 1e6;
    std::printf("read() loop, 1000-byte reads: %8.1f MB/s\n", megabytesRead / bestRead);
    std::printf("runSalvage scan:              %8.1f MB/s\n", megabytesRead / bestScan);
    std::printf("cat FILE > /dev/null:         %8.1f MB/s\n", megabytesRead / bestCat);
    std::printf("ratio scan / reads:           %8.2f\n", bestRead / bestScan);
    std::printf("ratio scan / cat:             %8.2f\n", bestCat / bestScan);
    std::remove(path.c_str());
    std::remove(output.c_str());
    return 0;
}
