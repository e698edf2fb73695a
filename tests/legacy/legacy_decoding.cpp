// runEntryMethod: one of unshrink, unreduce or explode over an entry held in memory.
#include "tests/legacy/legacy_decoding.h"

#include "extract/huffman_decoders.h"
#include "extract/methods.h"

namespace zipsalvage::testing {

MethodRun runEntryMethod(const Bytes& archive, const DirectoryEntry& entry, size_t available,
                         int64_t compressedSize) {
    Bytes data(archive.begin() + static_cast<long>(entry.dataOffset), archive.end());
    DecoderBench bench(data, entry.uncompressedSize,
                       compressedSize >= 0 ? compressedSize : entry.compressedSize);
    bench.input.available = available;
    MethodRun run;
    if (entry.method == 1) {
        run.result = ranToEnd(unshrink(bench.context)) ? 1 : 0;
    } else if (entry.method == 6) {
        run.result = ranToEnd(explode(bench.context, entry.flags)) ? 1 : 0;
    } else {
        run.result = ranToEnd(unreduce(bench.context, entry.method - 1)) ? 1 : 0;
    }
    run.output = bench.output();
    return run;
}

}  // namespace zipsalvage::testing
