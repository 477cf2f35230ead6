// Little-endian fields of untrusted bytes, at the floor of the program so
// that every layer reads them the same way: each read checked against what
// the buffer holds. The loose helpers (le16 and the like) read a field that
// would run past the end as 0; parsers of on-disk structures read through a
// ByteReader instead, whose sticky error tells them that it happened.
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

// A checked cursor over untrusted bytes, with a sticky error: fields are
// read at an offset or one after the other from the cursor's position, each
// checked against the end. The first read that would run past it sets the
// error; from then on every read gives 0 and the position stays put, so a
// parser reads a structure's fields straight through and asks ok() once,
// refusing the structure as damaged rather than using a silent 0.
class ByteReader {
 public:
  explicit ByteReader(Bytes bytes, std::size_t pos = 0) : bytes_(bytes), pos_(pos) {
    if (pos > bytes.size()) ok_ = false;
  }

  // At an offset; the position does not move.
  std::uint8_t u8(std::size_t off) { return check(off, 1) ? bytes_[off] : 0; }
  std::uint16_t u16(std::size_t off) { return check(off, 2) ? le16(bytes_, off) : 0; }
  std::uint32_t u32(std::size_t off) { return check(off, 4) ? le32(bytes_, off) : 0; }
  std::uint64_t u64(std::size_t off) { return check(off, 8) ? le64(bytes_, off) : 0; }
  // A sub-span, or an empty one (and the error set) when it does not fit.
  Bytes slice(std::size_t off, std::size_t len) { return check(off, len) ? bytes_.subspan(off, len) : Bytes{}; }

  // From the position, which moves past what was read.
  std::uint8_t u8() { return static_cast<std::uint8_t>(uN(1)); }
  std::uint16_t u16() { return static_cast<std::uint16_t>(uN(2)); }
  std::uint32_t u32() { return static_cast<std::uint32_t>(uN(4)); }
  std::uint64_t u64() { return uN(8); }
  // An unsigned field of width bytes (0 to 8; wider sets the error).
  std::uint64_t uN(std::size_t width) {
    if (width > 8 || !check(pos_, width)) {
      ok_ = false;
      return 0;
    }
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < width; ++i) v |= static_cast<std::uint64_t>(bytes_[pos_ + i]) << (8 * i);
    pos_ += width;
    return v;
  }
  // A signed field of width bytes, its sign in the top bit of its last byte.
  std::int64_t sN(std::size_t width) {
    std::uint64_t v = uN(width);
    if (ok_ && width > 0 && width < 8 && (v >> (8 * width - 1)) != 0) v |= ~std::uint64_t{0} << (8 * width);
    return static_cast<std::int64_t>(v);
  }
  Bytes take(std::size_t len) {
    const Bytes b = slice(pos_, len);
    if (ok_) pos_ += len;
    return b;
  }
  void skip(std::size_t len) { take(len); }
  void seek(std::size_t off) {
    if (check(off, 0)) pos_ = off;
  }

  std::size_t pos() const { return pos_; }
  std::size_t left() const { return ok_ ? bytes_.size() - pos_ : 0; }
  bool ok() const { return ok_; }
  Bytes bytes() const { return bytes_; }

 private:
  bool check(std::uint64_t off, std::uint64_t len) {
    if (ok_ && Fits(off, len, bytes_.size())) return true;
    ok_ = false;
    return false;
  }
  Bytes bytes_;
  std::size_t pos_ = 0;
  bool ok_ = true;
};

}  // namespace ambrelic::platform
