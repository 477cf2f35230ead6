// BMP: the file header gives the file's size; the DIB header must describe
// a bitmap that fits inside it (uncompressed rows of the declared width and
// depth, or a compressed image no larger than the file).

#include <cstdlib>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

bool BmpMatches(std::span<const std::uint8_t> head) {
  if (head.size() < 30 || !StartsWith(head, "BM")) return false;
  const std::uint32_t dib = Le32At(head, 14);
  const bool known = dib == 12 || dib == 40 || dib == 52 || dib == 56 || dib == 64 || dib == 108 || dib == 124;
  const std::uint16_t planes = Le16At(head, dib == 12 ? 22 : 26);
  return known && planes == 1 && Le32At(head, 10) >= 14 + dib;
}

Parsed BmpParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint8_t h[54] = {};
  const auto head = r.View(0, 54);
  if (!BmpMatches(head)) return {};
  std::copy(head.begin(), head.end(), h);
  std::uint64_t fileSize = Le32At(h, 2);
  const std::uint32_t dataOffset = Le32At(h, 10), dib = Le32At(h, 14);
  std::uint64_t width = 0, height = 0;
  std::uint16_t bpp = 0;
  std::uint32_t compression = 0;
  if (dib == 12) {
    width = Le16At(h, 18);
    height = Le16At(h, 20);
    bpp = Le16At(h, 24);
  } else {
    width = static_cast<std::uint64_t>(std::llabs(static_cast<std::int32_t>(Le32At(h, 18))));
    height = static_cast<std::uint64_t>(std::llabs(static_cast<std::int32_t>(Le32At(h, 22))));
    bpp = Le16At(h, 28);
    compression = Le32At(h, 30);
  }
  if (width == 0 || height == 0 || width > 65536 || height > 65536) return {};
  if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return {};
  if (compression > 6) return {};
  const std::uint64_t rows = (width * bpp + 31) / 32 * 4 * height;
  const bool plain = compression == 0 || compression == 3 || compression == 6;
  if (fileSize == 0 && plain) fileSize = dataOffset + rows;  // some writers leave it out
  if (fileSize < dataOffset || (plain && fileSize - dataOffset < rows) || fileSize > limits.maxLength) {
    return {};
  }
  if (!r.Has(0, fileSize)) return Damaged(r.End(), "bmp");
  return Complete(fileSize, "bmp");
}

}  // namespace ambrelic::carve::formats
