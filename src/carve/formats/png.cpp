// PNG: the signature, then chunks (length, type, data, CRC) to IEND; every
// chunk's CRC is checked, so a foreign cluster inside the file shows as the
// chunk where it lies.

#include <zlib.h>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::string_view kSignature("\x89PNG\r\n\x1a\n", 8);

bool ChunkType(std::span<const std::uint8_t> t) {
  for (std::size_t i = 0; i < 4; ++i) {
    const std::uint8_t c = t[i] & 0xDF;
    if (c < 'A' || c > 'Z') return false;
  }
  return true;
}

// CRC-32 of [from, from + length) as it streams past.
std::optional<std::uint32_t> Crc(Reader& r, std::uint64_t from, std::uint64_t length) {
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

}  // namespace

bool PngMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 16 && StartsWith(head, kSignature) && StartsWith(head, "IHDR", 12);
}

Parsed PngParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!PngMatches(r.View(0, 16))) return {};
  Parsed p;
  std::uint64_t pos = 8;
  for (bool first = true;; first = false) {
    std::uint8_t h[8];
    if (!r.Get(pos, h)) return Damaged(pos, "png");
    const std::uint32_t length = Be32At(h, 0);
    const std::span<const std::uint8_t> type(h + 4, 4);
    if (length > 0x7FFFFFFFu || !ChunkType(type) || (first && length != 13)) return Damaged(pos, "png");
    const auto crc = Crc(r, pos + 4, 4ull + length);
    const auto stored = r.Be32(pos + 8 + length);
    if (!crc || !stored || *crc != *stored) {
      p = Damaged(pos, "png");
      return p;
    }
    if (StartsWith(type, "tIME") && length == 7) {
      std::uint8_t t[7];
      if (r.Get(pos + 8, t)) {
        p.time = CivilSeconds(Be16At(t, 0), t[2], t[3], t[4], t[5], t[6]);
      }
    }
    pos += 12ull + length;
    if (StartsWith(type, "IEND")) {
      const auto time = p.time;
      p = Complete(pos, "png");
      p.time = time;
      return p;
    }
  }
}

}  // namespace ambrelic::carve::formats
