// MemoryInput and the scratch output file of the decoder targets.
#include "fuzz/fuzz_bench.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

namespace zipsalvage::fuzz {
namespace {

bool readFromMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& input = *static_cast<MemoryInput*>(owner);
    ++input.reads;
    size_t left = input.offset < input.available ? input.available - input.offset : 0;
    size_t wanted = count > 0 ? static_cast<size_t>(count) : 0;
    size_t take = wanted < left ? wanted : left;
    if (take > 0) std::memcpy(destination, input.bytes + input.offset, take);
    input.offset += take;
    if (take != wanted) ++input.failedReads;
    return take == wanted;
}

FileHandle scratchFile = kInvalidFile;

int32_t readUpToFromMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& input = *static_cast<MemoryInput*>(owner);
    size_t before = input.offset;
    readFromMemory(owner, destination, count);
    return static_cast<int32_t>(input.offset - before);
}

}  // namespace

EntryByteSource MemoryInput::source() {
    return EntryByteSource{this, readFromMemory, readUpToFromMemory};
}

FileHandle emptyScratchOutput() {
    if (scratchFile == kInvalidFile) {
        const char* base = std::getenv("TMPDIR");
        std::string path = std::string(base != nullptr && base[0] ? base : "/tmp") +
                           "/zipsalvage-fuzz-" + std::to_string(::getpid()) + ".out";
        scratchFile = createReadWrite(path.c_str());
        if (scratchFile == kInvalidFile) std::abort();
        ::unlink(path.c_str());
    }
    if (!seekFile(scratchFile, 0) || !truncateFileHere(scratchFile)) std::abort();
    return scratchFile;
}

int64_t scratchOutputSize() { return fileSize(scratchFile); }

std::vector<uint8_t> scratchOutputBytes() {
    std::vector<uint8_t> bytes;
    if (!seekFile(scratchFile, 0)) return bytes;
    uint8_t piece[65536];
    while (uint32_t got = readFile(scratchFile, piece, sizeof piece)) {
        bytes.insert(bytes.end(), piece, piece + got);
    }
    return bytes;
}

}  // namespace zipsalvage::fuzz
