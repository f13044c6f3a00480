#include "telemetry/core/rddi_compression.hpp"

#include "telemetry/core/rddi_constants.hpp"
#include "telemetry/core/rddi_logger.hpp"

#include <zlib.h>

namespace rddi {

namespace pf = platform::foundation;

std::optional<pf::Data> RDDICompression::compressData(const std::optional<pf::Data>& data) {
    if (!data || data->empty()) return std::nullopt;
    z_stream stream{};
    // Window bits 31: a gzip wrapper around the deflate stream.
    const int opened = deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, 31, 8, Z_DEFAULT_STRATEGY);
    if (opened != Z_OK) {
        const char* reason = opened == Z_VERSION_ERROR ? "Version of zlib.h & libz library do not match!"
                             : opened == Z_MEM_ERROR  ? "Not enough memory."
                             : opened == Z_STREAM_ERROR ? "Invalid parameter passed in to function."
                                                        : "Unknown error!";
        RDDILogError(kRDDILogTag, "Compression failed with error: {}", reason);
        return std::nullopt;
    }
    pf::Data output(static_cast<std::size_t>(static_cast<double>(data->size()) * 1.01 + 12));
    stream.next_in = const_cast<Bytef*>(data->data());
    stream.avail_in = static_cast<uInt>(data->size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = output.data() + stream.total_out;
        stream.avail_out = static_cast<uInt>(output.size() - stream.total_out);
        result = deflate(&stream, Z_FINISH);
    }
    if (result == Z_STREAM_END) {
        output.resize(stream.total_out);
        deflateEnd(&stream);
        return output;
    }
    const char* reason = result == Z_STREAM_ERROR ? "Inconsistent stream state."
                         : result == Z_BUF_ERROR  ? "No progress is possible."
                                                  : "Unknown error!";
    RDDILogError(kRDDILogTag, "Deflate failed with error: {}", reason);
    deflateEnd(&stream);
    return std::nullopt;
}

}  // namespace rddi
