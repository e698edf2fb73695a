// runEntryMethod: one of unshrink, unreduce or explode over an entry held in memory.
#include "tests/legacy/legacy_decoding.h"

#include "extract/methods.h"
#include "huffman/huffman_decoders.h"

namespace zipsalvage::testing {

MethodRun runEntryMethod(const Bytes& archive, const DirectoryEntry& entry, size_t available,
                         int64_t compressedSize) {
    Bytes data(archive.begin() + static_cast<long>(entry.dataOffset), archive.end());
    DecoderBench bench(data, entry.uncompressedSize,
                       compressedSize >= 0 ? compressedSize : entry.compressedSize);
    bench.input.available = available;
    MethodRun run;
    if (entry.method == 1) {
        run.result = unshrink(bench.context);
    } else if (entry.method == 6) {
        run.result = explode(bench.context, entry.flags);
    } else {
        run.result = unreduce(bench.context, entry.method - 1);
    }
    run.output = bench.output();
    return run;
}

}  // namespace zipsalvage::testing
