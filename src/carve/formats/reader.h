#pragma once

// The one way the parsers read a candidate file: bounded, checked reads from
// the ByteSource through a small window, so that a parser asking for one
// field at a time does not turn into one device read per field. Nothing is
// read at or past End(): the smaller of what the source holds and the
// caller's length limit.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carve/format.h"

namespace ambrelic::carve::formats {

class Reader {
 public:
  Reader(ByteSource& source, const Limits& limits);

  std::uint64_t End() const { return end_; }
  // True when [offset, offset + length) lies before End(); cannot overflow.
  bool Has(std::uint64_t offset, std::uint64_t length) const {
    return offset <= end_ && end_ - offset >= length;
  }
  // Fills out completely, or returns false (and out's content is unspecified).
  bool Get(std::uint64_t offset, std::span<std::uint8_t> out);
  // Up to max bytes from offset (fewer at End()).
  std::span<const std::uint8_t> View(std::uint64_t offset, std::size_t max);

  std::optional<std::uint8_t> U8(std::uint64_t offset);
  std::optional<std::uint16_t> Le16(std::uint64_t offset);
  std::optional<std::uint32_t> Le32(std::uint64_t offset);
  std::optional<std::uint64_t> Le64(std::uint64_t offset);
  std::optional<std::uint16_t> Be16(std::uint64_t offset);
  std::optional<std::uint32_t> Be32(std::uint64_t offset);
  std::optional<std::uint64_t> Be64(std::uint64_t offset);
  // True when the bytes at offset are exactly text.
  bool Equals(std::uint64_t offset, std::string_view text);
  // The first offset in [from, to) where pattern starts, if any.
  std::optional<std::uint64_t> Find(std::uint64_t from, std::uint64_t to, std::string_view pattern);

 private:
  bool Fill(std::uint64_t offset);

  ByteSource& source_;
  std::uint64_t end_;
  // The window's bytes: window_, or a source in memory whole, which is
  // then the one window.
  const std::uint8_t* windowData_ = nullptr;
  std::vector<std::uint8_t> window_;
  std::uint64_t windowStart_ = 0;
  std::size_t windowLength_ = 0;
};

// The bytes of another source from an offset on: a file embedded in or
// appended to another, parsed as a file of its own.
class OffsetSource final : public ByteSource {
 public:
  OffsetSource(ByteSource& inner, std::uint64_t offset) : inner_(inner), offset_(offset) {}
  std::uint64_t Size() const override { return inner_.Size() > offset_ ? inner_.Size() - offset_ : 0; }
  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (offset >= Size()) return 0;
    return inner_.Read(offset_ + offset, out);
  }

 private:
  ByteSource& inner_;
  std::uint64_t offset_;
};

// Field loads from bytes already in memory; the caller checked the length.
inline std::uint16_t Be16At(std::span<const std::uint8_t> b, std::size_t o) {
  return static_cast<std::uint16_t>((b[o] << 8) | b[o + 1]);
}
inline std::uint32_t Be32At(std::span<const std::uint8_t> b, std::size_t o) {
  return (std::uint32_t{b[o]} << 24) | (std::uint32_t{b[o + 1]} << 16) | (std::uint32_t{b[o + 2]} << 8) |
         b[o + 3];
}
inline std::uint16_t Le16At(std::span<const std::uint8_t> b, std::size_t o) {
  return static_cast<std::uint16_t>(b[o] | (b[o + 1] << 8));
}
inline std::uint32_t Le32At(std::span<const std::uint8_t> b, std::size_t o) {
  return std::uint32_t{b[o]} | (std::uint32_t{b[o + 1]} << 8) | (std::uint32_t{b[o + 2]} << 16) |
         (std::uint32_t{b[o + 3]} << 24);
}
inline bool StartsWith(std::span<const std::uint8_t> b, std::string_view text, std::size_t at = 0) {
  if (at > b.size() || b.size() - at < text.size()) {
    return false;
  }
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (b[at + i] != static_cast<std::uint8_t>(text[i])) {
      return false;
    }
  }
  return true;
}

// Verdict helpers.
Parsed Complete(std::uint64_t length, std::string extension);
Parsed Damaged(std::uint64_t length, std::string extension);

// A civil date and time as written (no zone) in seconds since 1970, or
// nothing when a field is out of range.
std::optional<std::int64_t> CivilSeconds(int year, int month, int day, int hour, int minute, int second);
// "2019-07-04 12-30-05": the name a photo gets from the time it was taken.
std::string NameHintFor(std::int64_t seconds);
// Sets time (and, when photo, nameHint) on a result.
void SetTime(Parsed& parsed, std::optional<std::int64_t> seconds, bool photo);
// Parses "YYYY:MM:DD HH:MM:SS" (EXIF) or "YYYYMMDDHHMMSS" (PDF, digits only).
std::optional<std::int64_t> ParseExifTime(std::string_view text);
std::optional<std::int64_t> ParseDigitsTime(std::string_view text);

// The EXIF date a photo was taken (DateTimeOriginal, else DateTime) from a
// TIFF structure that starts at base and may not reach past limit; used by
// JPEG's APP1 segment and by TIFF-based raw files.
std::optional<std::int64_t> ExifTime(Reader& reader, std::uint64_t base, std::uint64_t limit);

}  // namespace ambrelic::carve::formats
