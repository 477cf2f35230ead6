// GZIP: each member's header, its deflate data inflated to its end, and the
// CRC-32 and size that close it; further members without a name of their
// own belong to the same file.

#include "carve/formats/families.h"
#include "carve/formats/inflate.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

bool GzipMatches(std::span<const std::uint8_t> head) {
  // Deflate, no reserved flag bits, an operating system byte gzip knows.
  return head.size() >= 10 && head[0] == 0x1F && head[1] == 0x8B && head[2] == 8 && (head[3] & 0xE0) == 0 &&
         (head[9] <= 13 || head[9] == 255);
}

Parsed GzipParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!GzipMatches(r.View(0, 10))) return {};
  std::optional<std::int64_t> time;
  std::uint64_t pos = 0;
  for (int member = 0; member < 65536; ++member) {
    const auto h = r.View(pos, 10);
    if (h.size() < 10 || !GzipMatches(h)) {
      if (member == 0) return {};
      break;
    }
    // A member that names a file of its own starts another file; nameless
    // members (pigz, bgzip blocks) go on with this one.
    if (member > 0 && (h[3] & 8)) break;
    const std::uint8_t flags = h[3];
    if (member == 0 && Le32At(h, 4) != 0) time = Le32At(h, 4);
    std::uint64_t at = pos + 10;
    if (flags & 4) {
      const auto extra = r.Le16(at);
      if (!extra) return Damaged(pos, "gz");
      at += 2 + *extra;
    }
    for (const std::uint8_t text : {std::uint8_t{8}, std::uint8_t{16}}) {  // name, comment
      if (!(flags & text)) continue;
      const auto zero = r.Find(at, at + 65536, std::string_view("\0", 1));
      if (!zero) return Damaged(pos, "gz");
      at = *zero + 1;
    }
    if (flags & 2) at += 2;
    const Inflated d = InflateRaw(r, at, std::nullopt);
    if (!d.ended) return Damaged(at + d.consumed, "gz");
    const std::uint64_t trailer = at + d.consumed;
    const auto crc = r.Le32(trailer), size = r.Le32(trailer + 4);
    if (!crc || !size || *crc != d.crc || *size != static_cast<std::uint32_t>(d.size)) {
      return Damaged(trailer, "gz");
    }
    pos = trailer + 8;
  }
  Parsed p = Complete(pos, "gz");
  p.time = time;
  return p;
}

}  // namespace ambrelic::carve::formats
