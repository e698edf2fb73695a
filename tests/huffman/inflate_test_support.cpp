// zlib wrappers, the bit writer and the inflate runner of the inflate tests.
#include "tests/huffman/inflate_test_support.h"

#include <algorithm>

#include "huffman/huffman_decoders.h"

namespace zipsalvage::testing {

Bytes zlibDeflate(const Bytes& input, int level, int strategy, size_t flushEvery) {
    z_stream stream{};
    if (deflateInit2(&stream, level, Z_DEFLATED, -15, 8, strategy) != Z_OK) return {};
    // Each flush may add an empty stored block and a partly filled block: 16 bytes is ample.
    size_t flushes = flushEvery != 0 ? input.size() / flushEvery + 1 : 1;
    Bytes output(deflateBound(&stream, input.size()) + 1024 + flushes * 16);
    stream.next_out = output.data();
    stream.avail_out = static_cast<uInt>(output.size());
    size_t offset = 0;
    size_t piece = flushEvery ? flushEvery : input.size();
    do {
        size_t take = std::min(piece, input.size() - offset);
        stream.next_in = const_cast<Bytef*>(input.data() + offset);
        stream.avail_in = static_cast<uInt>(take);
        offset += take;
        int flush = offset == input.size() ? Z_FINISH : Z_SYNC_FLUSH;
        ::deflate(&stream, flush);
    } while (offset < input.size());
    output.resize(stream.total_out);
    deflateEnd(&stream);
    return output;
}

Bytes zlibInflatePrefix(const Bytes& compressed) {
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return {};
    Bytes output;
    Bytes chunk(65536);
    stream.next_in = const_cast<Bytef*>(compressed.data());
    stream.avail_in = static_cast<uInt>(compressed.size());
    for (;;) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        int status = ::inflate(&stream, Z_SYNC_FLUSH);
        output.insert(output.end(), chunk.data(), chunk.data() + (chunk.size() - stream.avail_out));
        if (status != Z_OK || stream.avail_out != 0) break;
    }
    inflateEnd(&stream);
    return output;
}

InflateRun runInflate(const Bytes& stream, int64_t compressedSize, size_t available) {
    DecoderBench bench(stream, 0, compressedSize);
    bench.input.available = available;
    InflateRun run;
    run.result = zipsalvage::inflate(bench.context);
    run.output = bench.output();
    return run;
}

bool isPrefixOf(const Bytes& prefix, const Bytes& whole) {
    return prefix.size() <= whole.size() && std::equal(prefix.begin(), prefix.end(), whole.begin());
}

void BitWriter::bits(uint32_t value, uint32_t count) {
    for (uint32_t bit = 0; bit < count; ++bit) {
        if (bitCount % 8 == 0) bytes.push_back(0);
        bytes.back() =
            static_cast<uint8_t>(bytes.back() | (((value >> bit) & 1u) << (bitCount % 8)));
        ++bitCount;
    }
}

void BitWriter::code(uint32_t value, uint32_t length) {
    for (uint32_t bit = length; bit > 0; --bit) bits((value >> (bit - 1)) & 1u, 1);
}

void BitWriter::fixedSymbol(uint32_t symbol) {
    if (symbol < 144) {
        code(0x30 + symbol, 8);
    } else if (symbol < 256) {
        code(0x190 + symbol - 144, 9);
    } else if (symbol < 280) {
        code(symbol - 256, 7);
    } else {
        code(0xC0 + symbol - 280, 8);
    }
}

void BitWriter::alignToByte() { bitCount = static_cast<uint32_t>(bytes.size()) * 8; }

}  // namespace zipsalvage::testing
