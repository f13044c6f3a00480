#pragma once
// A PNG file of a photograph's weight: side x side RGB, a smooth gradient under a few
// random low bits in every sample, as a camera's noise leaves them. Such pixels keep most
// of their raw size however they are encoded, so the file is written uncompressed (its
// raw size, made in a second or two): a test or bench that stores it meets the bytes a
// user's photographs bring, and encoding it anew takes as long as for a photograph.
// Users link zlib.
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>

namespace gwtest {

inline std::string photoLikePng(std::uint32_t side, std::uint32_t seed = 1, int noiseBits = 6) {
    const std::size_t rowBytes = std::size_t{side} * 3 + 1;
    std::string raw(rowBytes * side, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    const std::uint32_t mask = (1u << noiseBits) - 1;
    for (std::uint32_t y = 0; y < side; ++y) {
        auto* row = reinterpret_cast<std::uint8_t*>(raw.data()) + rowBytes * y;
        row[0] = 0;  // no filter
        for (std::uint32_t x = 0; x < side; ++x) {
            state = state * 1664525u + 1013904223u;
            std::uint8_t* p = row + 1 + std::size_t{x} * 3;
            p[0] = static_cast<std::uint8_t>(x * 255 / side) ^ static_cast<std::uint8_t>((state >> 8) & mask);
            p[1] = static_cast<std::uint8_t>(y * 255 / side) ^ static_cast<std::uint8_t>((state >> 16) & mask);
            p[2] = static_cast<std::uint8_t>(seed * 37) ^ static_cast<std::uint8_t>((state >> 24) & mask);
        }
    }
    z_stream z{};
    if (deflateInit(&z, Z_NO_COMPRESSION) != Z_OK) throw std::runtime_error("deflateInit");
    std::string compressed(deflateBound(&z, raw.size()), '\0');
    z.next_in = reinterpret_cast<Bytef*>(raw.data());
    z.avail_in = static_cast<uInt>(raw.size());
    z.next_out = reinterpret_cast<Bytef*>(compressed.data());
    z.avail_out = static_cast<uInt>(compressed.size());
    const int status = deflate(&z, Z_FINISH);
    compressed.resize(z.total_out);
    deflateEnd(&z);
    if (status != Z_STREAM_END) throw std::runtime_error("deflate");
    // A large picture's rows are hundreds of megabytes: gone before the file is made.
    std::string().swap(raw);

    std::string png("\x89PNG\r\n\x1a\n", 8);
    const auto put32 = [&](std::uint32_t v) {
        for (int s = 24; s >= 0; s -= 8) png.push_back(static_cast<char>(v >> s));
    };
    const auto chunk = [&](const char* type, const char* data, std::size_t size) {
        put32(static_cast<std::uint32_t>(size));
        const std::size_t start = png.size();
        png.append(type, 4);
        png.append(data, size);
        put32(static_cast<std::uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(png.data() + start), size + 4)));
    };
    std::string header;
    for (int i = 0; i < 2; ++i) {
        for (int s = 24; s >= 0; s -= 8) header.push_back(static_cast<char>(side >> s));
    }
    header += std::string("\x08\x02\x00\x00\x00", 5);  // 8 bits, RGB
    chunk("IHDR", header.data(), header.size());
    for (std::size_t at = 0; at < compressed.size(); at += std::size_t{1} << 24) {
        chunk("IDAT", compressed.data() + at, std::min(compressed.size() - at, std::size_t{1} << 24));
    }
    chunk("IEND", "", 0);
    return png;
}

}  // namespace gwtest
