#include "carve/formats/inflate.h"

#include <zlib.h>

#include <array>

namespace ambrelic::carve::formats {

Inflated InflateRaw(Reader& r, std::uint64_t at, std::optional<std::uint64_t> compressed) {
  Inflated result;
  z_stream z{};
  if (inflateInit2(&z, -MAX_WBITS) != Z_OK) return result;
  uLong crc = crc32(0, nullptr, 0);
  std::array<std::uint8_t, 32768> out{};
  std::uint64_t p = at;
  int rc = Z_OK;
  while (rc != Z_STREAM_END) {
    if (z.avail_in == 0) {
      std::size_t want = 16384;
      if (compressed) want = static_cast<std::size_t>(std::min<std::uint64_t>(want, at + *compressed - p));
      const auto v = want == 0 ? std::span<const std::uint8_t>{} : r.View(p, want);
      if (v.empty()) break;
      z.next_in = const_cast<Bytef*>(v.data());
      z.avail_in = static_cast<uInt>(v.size());
      p += v.size();
    }
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    rc = inflate(&z, Z_NO_FLUSH);
    crc = crc32(crc, out.data(), static_cast<uInt>(out.size() - z.avail_out));
    if (rc != Z_OK && rc != Z_STREAM_END) break;
  }
  result.ended = rc == Z_STREAM_END;
  result.consumed = p - at - z.avail_in;
  result.size = z.total_out;
  result.crc = static_cast<std::uint32_t>(crc);
  inflateEnd(&z);
  return result;
}

std::optional<std::uint32_t> Crc32Of(Reader& r, std::uint64_t from, std::uint64_t length) {
  uLong crc = crc32(0, nullptr, 0);
  while (length > 0) {
    const auto v = r.View(from, static_cast<std::size_t>(std::min<std::uint64_t>(length, 16384)));
    if (v.empty()) return std::nullopt;
    crc = crc32(crc, v.data(), static_cast<uInt>(v.size()));
    from += v.size();
    length -= v.size();
  }
  return static_cast<std::uint32_t>(crc);
}

}  // namespace ambrelic::carve::formats
