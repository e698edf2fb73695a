// MemorySource and DecoderBench.
#include "tests/support/memory_source.h"

#include <cstring>

namespace zipsalvage::testing {
namespace {

bool readFromMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& memory = *static_cast<MemorySource*>(owner);
    size_t limit = memory.available < memory.bytes.size() ? memory.available : memory.bytes.size();
    size_t left = memory.offset < limit ? limit - memory.offset : 0;
    size_t take = static_cast<size_t>(count) < left ? static_cast<size_t>(count) : left;
    if (take > 0) std::memcpy(destination, memory.bytes.data() + memory.offset, take);
    memory.offset += take;
    return take == static_cast<size_t>(count);
}

int32_t readUpToFromMemory(void* owner, uint8_t* destination, int32_t count) {
    auto& memory = *static_cast<MemorySource*>(owner);
    size_t before = memory.offset;
    readFromMemory(owner, destination, count);
    return static_cast<int32_t>(memory.offset - before);
}

}  // namespace

EntryByteSource MemorySource::source() {
    return EntryByteSource{this, readFromMemory, readUpToFromMemory};
}

DecoderBench::DecoderBench(const Bytes& data, uint32_t uncompressedSize, int64_t compressedSize) {
    input.bytes = data;
    outputFile = createReadWrite(dir.file("out.bin").c_str());
    auto recorded = static_cast<uint32_t>(compressedSize < 0 ? static_cast<int64_t>(data.size())
                                                             : compressedSize);
    initExtractContext(context, outputFile, recorded, uncompressedSize, false, "", nullptr,
                       input.source(), flags);
}

DecoderBench::~DecoderBench() { closeFile(outputFile); }

Bytes DecoderBench::output() { return readWholeFile(dir.file("out.bin")); }

}  // namespace zipsalvage::testing
