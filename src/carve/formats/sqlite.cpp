// SQLite: the database header gives the page size and, when the change
// counter vouches for it, the page count; the file is their product.

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {

bool SqliteMatches(std::span<const std::uint8_t> head) {
  return StartsWith(head, std::string_view("SQLite format 3\0", 16));
}

Parsed SqliteParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint8_t h[100];
  if (!r.Get(0, h)) return r.End() >= 16 && SqliteMatches(r.View(0, 16)) ? Damaged(0, "sqlite") : Parsed{};
  if (!SqliteMatches(h)) return {};
  std::uint32_t pageSize = Be16At(h, 16);
  if (pageSize == 1) pageSize = 65536;
  if (pageSize < 512 || (pageSize & (pageSize - 1)) != 0) return {};
  if (h[18] < 1 || h[18] > 2 || h[19] < 1 || h[19] > 2 || h[21] != 64 || h[22] != 32 || h[23] != 32) return {};
  const auto pageType = r.U8(100);
  if (pageType && *pageType != 0x0D && *pageType != 0x05) return Damaged(0, "sqlite");
  const std::uint32_t pages = Be32At(h, 28);
  if (pages == 0 || Be32At(h, 24) != Be32At(h, 92)) {
    // Written by a version too old to keep the count: only the first page
    // is known good.
    return Damaged(std::min<std::uint64_t>(pageSize, r.End()), "sqlite");
  }
  const std::uint64_t length = std::uint64_t{pageSize} * pages;
  if (!r.Has(0, length)) return Damaged(r.End() - r.End() % pageSize, "sqlite");
  return Complete(length, "sqlite");
}

}  // namespace ambrelic::carve::formats
