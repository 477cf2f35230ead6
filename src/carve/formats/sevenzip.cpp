// 7z: the signature header points at the next header (offset, size and
// CRC-32, the header itself guarded by its own CRC); the file ends with it.

#include "carve/formats/families.h"
#include "carve/formats/inflate.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

bool SevenZipMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 32 && StartsWith(head, "7z\xBC\xAF\x27\x1C") && head[6] == 0;
}

Parsed SevenZipParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint8_t h[32];
  if (!r.Get(0, h) || !SevenZipMatches(h)) return {};
  if (Crc32Of(r, 12, 20) != Le32At(h, 8)) return {};
  const std::uint64_t offset = std::uint64_t{Le32At(h, 12)} | (std::uint64_t{Le32At(h, 16)} << 32);
  const std::uint64_t size = std::uint64_t{Le32At(h, 20)} | (std::uint64_t{Le32At(h, 24)} << 32);
  if (offset > limits.maxLength || size > limits.maxLength - offset || size > limits.maxLength - offset - 32) {
    return Damaged(32, "7z");
  }
  const std::uint64_t end = 32 + offset + size;
  if (!r.Has(0, end)) return Damaged(std::min(r.End(), 32 + offset), "7z");
  if (Crc32Of(r, 32 + offset, size) != Le32At(h, 28)) return Damaged(32 + offset, "7z");
  return Complete(end, "7z");
}

}  // namespace ambrelic::carve::formats
