// GIF: the screen descriptor and its colour table, then image descriptors
// and extensions, each followed by its chain of data sub-blocks, to the
// trailer byte.

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

// Steps over a chain of sub-blocks (a length byte, that many bytes, ... a
// zero length); nothing when the chain runs past the bytes.
std::optional<std::uint64_t> SkipSubBlocks(Reader& r, std::uint64_t pos) {
  for (;;) {
    const auto n = r.U8(pos);
    if (!n) return std::nullopt;
    pos += 1 + *n;
    if (*n == 0) return pos;
  }
}

}  // namespace

bool GifMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 6 && (StartsWith(head, "GIF87a") || StartsWith(head, "GIF89a"));
}

Parsed GifParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  const auto head = r.View(0, 13);
  if (head.size() < 13 || !GifMatches(head)) return {};
  std::uint64_t pos = 13;
  if (head[10] & 0x80) pos += 3ull << ((head[10] & 7) + 1);
  bool image = false;
  for (;;) {
    const std::uint64_t block = pos;
    const auto b = r.U8(pos);
    if (!b) return Damaged(block, "gif");
    if (*b == 0x3B) {
      if (!image) return Damaged(block, "gif");
      return Complete(pos + 1, "gif");
    }
    if (*b == 0x21) {
      if (!r.U8(pos + 1)) return Damaged(block, "gif");
      pos += 2;
    } else if (*b == 0x2C) {
      const auto flags = r.U8(pos + 9);
      if (!flags) return Damaged(block, "gif");
      pos += 10;
      if (*flags & 0x80) pos += 3ull << ((*flags & 7) + 1);
      const auto codeSize = r.U8(pos);
      if (!codeSize || *codeSize < 2 || *codeSize > 12) return Damaged(block, "gif");
      pos += 1;
      image = true;
    } else {
      return Damaged(block, "gif");
    }
    const auto next = SkipSubBlocks(r, pos);
    if (!next) return Damaged(block, "gif");
    pos = *next;
  }
}

}  // namespace ambrelic::carve::formats
