// RIFF files (WebP, AVI, WAV): the RIFF header's size ends the file, and the
// chunks inside must tile it. An AVI larger than a gigabyte continues in
// "AVIX" RIFF lists right after the first, which belong to it.

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

std::string ExtensionFor(std::span<const std::uint8_t> form) {
  if (StartsWith(form, "WEBP")) return "webp";
  if (StartsWith(form, "AVI ")) return "avi";
  if (StartsWith(form, "WAVE")) return "wav";
  return "";
}

bool ChunkId(std::span<const std::uint8_t> id) {
  for (std::size_t i = 0; i < 4; ++i) {
    if (id[i] < 0x20 || id[i] > 0x7E) return false;
  }
  return true;
}

// Walks the chunks of the RIFF list at start (its 12-byte header first);
// returns where they stop making sense, or end when they tile it.
std::uint64_t Chunks(Reader& r, std::uint64_t start, std::uint64_t end) {
  std::uint64_t pos = start + 12;
  while (pos < end) {
    std::uint8_t h[8];
    if (end - pos < 8 || !r.Get(pos, h) || !ChunkId(std::span(h, 4))) return pos;
    const std::uint64_t size = Le32At(h, 4);
    const std::uint64_t next = pos + 8 + size + (size & 1);
    // The last chunk may leave out its pad byte.
    if (next > end && pos + 8 + size != end) return pos;
    if (!r.Has(pos, 8 + size)) return pos;
    pos = std::min(next, end);
  }
  return end;
}

}  // namespace

bool RiffMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 12 && StartsWith(head, "RIFF") && !ExtensionFor(head.subspan(8, 4)).empty();
}

Parsed RiffParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  const auto head = r.View(0, 12);
  if (!RiffMatches(head)) return {};
  const std::string ext = ExtensionFor(head.subspan(8, 4));
  std::uint64_t end = 8ull + Le32At(head, 4);
  if (end < 12) return {};
  if (!r.Has(0, end)) return Damaged(Chunks(r, 0, r.End()), ext);
  const std::uint64_t good = Chunks(r, 0, end);
  if (good != end) return Damaged(good, ext);
  for (int i = 0; ext == "avi" && i < 1024; ++i) {
    const auto next = r.View(end, 12);
    if (next.size() < 12 || !StartsWith(next, "RIFF") || !StartsWith(next, "AVIX", 8)) break;
    const std::uint64_t more = end + 8 + Le32At(next, 4);
    if (!r.Has(0, more)) return Damaged(r.End(), ext);
    end = more;
  }
  return Complete(end, ext);
}

}  // namespace ambrelic::carve::formats
