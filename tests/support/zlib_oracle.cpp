// zlib's raw inflate for the tests.
#include "tests/support/zlib_oracle.h"

#include <zlib.h>

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

}  // namespace zipsalvage::testing
