// Little-endian fields of untrusted bytes, at the floor of the program so
// that every layer reads them the same way: each read checked against what
// the buffer holds. A field that would run past the end reads as 0; the
// ByteReader also sets its sticky error, so a run of field reads is checked
// once, afterwards. The engines include disk/byte_reader.h, which gives
// the same names in their namespace.
#pragma once

#include <cstdint>
#include <cstring>
#include <span>

namespace ambrelic::platform {

using Bytes = std::span<const std::uint8_t>;

// True when [offset, offset + length) lies inside a buffer of size bytes;
// written so that it cannot overflow.
constexpr bool Fits(std::uint64_t offset, std::uint64_t length, std::uint64_t size) {
  return offset <= size && size - offset >= length;
}

inline std::uint8_t le8(Bytes b, std::size_t off) { return off < b.size() ? b[off] : 0; }
inline std::uint16_t le16(Bytes b, std::size_t off) {
  if (!Fits(off, 2, b.size())) return 0;
  return static_cast<std::uint16_t>(b[off] | (b[off + 1] << 8));
}
inline std::uint32_t le32(Bytes b, std::size_t off) {
  if (!Fits(off, 4, b.size())) return 0;
  return static_cast<std::uint32_t>(b[off]) | (static_cast<std::uint32_t>(b[off + 1]) << 8) |
         (static_cast<std::uint32_t>(b[off + 2]) << 16) | (static_cast<std::uint32_t>(b[off + 3]) << 24);
}
inline std::uint64_t le64(Bytes b, std::size_t off) {
  if (!Fits(off, 8, b.size())) return 0;
  return static_cast<std::uint64_t>(le32(b, off)) | (static_cast<std::uint64_t>(le32(b, off + 4)) << 32);
}

inline void put16(std::span<std::uint8_t> b, std::size_t off, std::uint16_t v) {
  if (!Fits(off, 2, b.size())) return;
  b[off] = static_cast<std::uint8_t>(v);
  b[off + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::span<std::uint8_t> b, std::size_t off, std::uint32_t v) {
  if (!Fits(off, 4, b.size())) return;
  for (int i = 0; i < 4; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}
inline void put64(std::span<std::uint8_t> b, std::size_t off, std::uint64_t v) {
  if (!Fits(off, 8, b.size())) return;
  for (int i = 0; i < 8; ++i) b[off + i] = static_cast<std::uint8_t>(v >> (8 * i));
}

// A reader with a sticky error, for runs of fields.
class ByteReader {
 public:
  explicit ByteReader(Bytes bytes) : bytes_(bytes) {}
  std::uint8_t u8(std::size_t off) { return check(off, 1) ? bytes_[off] : 0; }
  std::uint16_t u16(std::size_t off) { return check(off, 2) ? le16(bytes_, off) : 0; }
  std::uint32_t u32(std::size_t off) { return check(off, 4) ? le32(bytes_, off) : 0; }
  std::uint64_t u64(std::size_t off) { return check(off, 8) ? le64(bytes_, off) : 0; }
  // A sub-span, or an empty one (and the error set) when it does not fit.
  Bytes slice(std::size_t off, std::size_t len) {
    return check(off, len) ? bytes_.subspan(off, len) : Bytes{};
  }
  bool ok() const { return ok_; }
  Bytes bytes() const { return bytes_; }

 private:
  bool check(std::uint64_t off, std::uint64_t len) {
    if (Fits(off, len, bytes_.size())) return true;
    ok_ = false;
    return false;
  }
  Bytes bytes_;
  bool ok_ = true;
};

}  // namespace ambrelic::platform
