#include "Platform/Foundation/Compression.hpp"

#include <zlib.h>

#include <algorithm>
#include <limits>

#include "Platform/Foundation/Error.hpp"

namespace foundation {

namespace {

constexpr int rawWindowBits = -15;  // negative: no zlib header or checksum
constexpr int compressionLevel = 5;
constexpr size_t chunkSize = 1 << 16;

// avail_in is 32 bits wide: larger inputs go in slices, the next one once zlib has taken the last.
void feedSlice(z_stream& stream, size_t& remaining) {
    if (stream.avail_in == 0 && remaining > 0) {
        uInt slice = static_cast<uInt>(std::min<size_t>(remaining, std::numeric_limits<uInt>::max()));
        stream.avail_in = slice;
        remaining -= slice;
    }
}

}  // namespace

std::string deflateRaw(std::string_view data) {
    z_stream stream{};
    if (deflateInit2(&stream, compressionLevel, Z_DEFLATED, rawWindowBits, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        throw RuntimeError("Could not start DEFLATE compression.");
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    size_t remaining = data.size();
    int status = Z_OK;
    char buffer[chunkSize];
    do {
        feedSlice(stream, remaining);
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = chunkSize;
        status = deflate(&stream, remaining == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (status == Z_STREAM_ERROR) {
            deflateEnd(&stream);
            throw RuntimeError("DEFLATE compression failed.");
        }
        out.append(buffer, chunkSize - stream.avail_out);
    } while (status != Z_STREAM_END);
    deflateEnd(&stream);
    return out;
}

std::string inflateRaw(std::string_view data) {
    z_stream stream{};
    if (inflateInit2(&stream, rawWindowBits) != Z_OK) throw RuntimeError("Could not start DEFLATE decompression.");
    std::string out;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    size_t remaining = data.size();
    char buffer[chunkSize];
    for (;;) {
        feedSlice(stream, remaining);
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = chunkSize;
        int status = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, chunkSize - stream.avail_out);
        if (status == Z_STREAM_END) break;
        bool stalled = status == Z_BUF_ERROR && stream.avail_in == 0 && remaining == 0;
        if ((status != Z_OK && status != Z_BUF_ERROR) || stalled) {
            inflateEnd(&stream);
            throw RuntimeError(stalled ? "Corrupt DEFLATE stream: it ends before its last block."
                                       : "Corrupt DEFLATE stream.");
        }
    }
    bool trailing = stream.avail_in != 0 || remaining != 0;
    inflateEnd(&stream);
    if (trailing) throw RuntimeError("Corrupt DEFLATE stream: data after its last block.");
    return out;
}

}  // namespace foundation
