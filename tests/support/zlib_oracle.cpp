// zlib's raw inflate and deflate for the tests.
#include "tests/support/zlib_oracle.h"

#include <algorithm>

namespace zipsalvage::testing {

ZlibInflated zlibInflateRaw(const Bytes& deflated) {
    ZlibInflated result;
    z_stream stream{};
    if (inflateInit2(&stream, -15) != Z_OK) return result;
    Bytes chunk(65536);
    stream.next_in = const_cast<Bytef*>(deflated.data());
    stream.avail_in = static_cast<uInt>(deflated.size());
    int status = Z_OK;
    while (status == Z_OK) {
        stream.next_out = chunk.data();
        stream.avail_out = static_cast<uInt>(chunk.size());
        status = inflate(&stream, Z_NO_FLUSH);
        result.content.insert(result.content.end(), chunk.data(), stream.next_out);
        if (status == Z_BUF_ERROR && stream.avail_out == 0) status = Z_OK;  // more output to come
    }
    result.complete = status == Z_STREAM_END;
    result.consumed = deflated.size() - stream.avail_in;
    inflateEnd(&stream);
    return result;
}

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

}  // namespace zipsalvage::testing
