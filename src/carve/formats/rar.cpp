// RAR, both generations: blocks, each header guarded by its CRC, each
// file's packed data stepped over by the size its header gives, to the
// end-of-archive block.

#include "carve/formats/families.h"
#include "carve/formats/inflate.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::string_view kRar4("Rar!\x1A\x07\x00", 7);
constexpr std::string_view kRar5("Rar!\x1A\x07\x01\x00", 8);
constexpr std::size_t kMaxBlocks = 1 << 20;

Parsed Rar4(Reader& r) {
  std::uint64_t pos = kRar4.size();
  for (std::size_t n = 0; n < kMaxBlocks; ++n) {
    std::uint8_t h[11];
    if (!r.Get(pos, std::span(h, 7))) return Damaged(pos, "rar");
    const std::uint8_t type = h[2];
    const std::uint16_t flags = Le16At(h, 3), size = Le16At(h, 5);
    if (size < 7 || type < 0x72 || type > 0x7B) return Damaged(pos, "rar");
    const auto crc = Crc32Of(r, pos + 2, size - 2u);
    if (!crc || (*crc & 0xFFFF) != Le16At(h, 0)) return Damaged(pos, "rar");
    std::uint64_t data = 0;
    if (type == 0x74 || type == 0x7A || (flags & 0x8000)) {
      if (size < 11) return Damaged(pos, "rar");
      data = r.Le32(pos + 7).value_or(0);
      if ((type == 0x74 || type == 0x7A) && (flags & 0x100) && size >= 36) {
        data |= std::uint64_t{r.Le32(pos + 32).value_or(0)} << 32;
      }
    }
    const std::uint64_t next = pos + size + data;
    if (!r.Has(0, next)) return Damaged(pos + size, "rar");
    pos = next;
    if (type == 0x7B) return Complete(pos, "rar");
  }
  return Damaged(pos, "rar");
}

std::optional<std::uint64_t> Vint(Reader& r, std::uint64_t& pos) {
  std::uint64_t v = 0;
  for (int i = 0; i < 10; ++i) {
    const auto b = r.U8(pos++);
    if (!b) return std::nullopt;
    v |= std::uint64_t{*b & 0x7Fu} << (7 * i);
    if (!(*b & 0x80)) return v;
  }
  return std::nullopt;
}

Parsed Rar5(Reader& r, std::uint64_t maxLength) {
  std::uint64_t pos = kRar5.size();
  for (std::size_t n = 0; n < kMaxBlocks; ++n) {
    const auto stored = r.Le32(pos);
    std::uint64_t at = pos + 4;
    const auto headerSize = Vint(r, at);
    if (!stored || !headerSize || *headerSize == 0 || *headerSize > (2u << 20)) return Damaged(pos, "rar");
    const std::uint64_t headerEnd = at + *headerSize;
    const auto crc = Crc32Of(r, pos + 4, headerEnd - pos - 4);
    if (!crc || *crc != *stored) return Damaged(pos, "rar");
    const auto type = Vint(r, at), flags = Vint(r, at);
    if (!type || !flags) return Damaged(pos, "rar");
    if (*flags & 1 && !Vint(r, at)) return Damaged(pos, "rar");
    std::uint64_t data = 0;
    if (*flags & 2) {
      const auto d = Vint(r, at);
      if (!d || *d > maxLength) return Damaged(pos, "rar");
      data = *d;
    }
    if (at > headerEnd) return Damaged(pos, "rar");
    if (*type == 4) return Damaged(headerEnd, "rar");  // encrypted headers follow
    const std::uint64_t next = headerEnd + data;
    if (!r.Has(0, next)) return Damaged(headerEnd, "rar");
    pos = next;
    if (*type == 5) return Complete(pos, "rar");
  }
  return Damaged(pos, "rar");
}

}  // namespace

bool RarMatches(std::span<const std::uint8_t> head) {
  return StartsWith(head, kRar4) || StartsWith(head, kRar5);
}

Parsed RarParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  const auto head = r.View(0, 8);
  if (StartsWith(head, kRar5)) return Rar5(r, limits.maxLength);
  if (StartsWith(head, kRar4)) return Rar4(r);
  return {};
}

}  // namespace ambrelic::carve::formats
