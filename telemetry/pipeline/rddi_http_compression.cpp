#include "telemetry/pipeline/rddi_http_compression.hpp"

#include <zlib.h>

namespace rddi::detail {

std::optional<platform::foundation::Data> gzipRequestBody(const platform::foundation::Data& data) {
    z_stream stream{};
    if (deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::nullopt;
    platform::foundation::Data out(deflateBound(&stream, static_cast<uLong>(data.size())) + 32);
    stream.next_in = const_cast<Bytef*>(data.data());
    stream.avail_in = static_cast<uInt>(data.size());
    stream.next_out = out.data();
    stream.avail_out = static_cast<uInt>(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const auto written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END) return std::nullopt;
    out.resize(written);
    return out;
}

}  // namespace rddi::detail
