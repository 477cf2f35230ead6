// PNG: the signature, then chunks (length, type, data, CRC) to IEND; every
// chunk's CRC is checked, so a foreign cluster inside the file shows as the
// chunk where it lies.

#include "carve/formats/families.h"
#include "carve/formats/inflate.h"
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
    const auto crc = Crc32Of(r, pos + 4, 4ull + length);
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
