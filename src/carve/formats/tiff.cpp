// TIFF and the raw photo formats built on it (CR2, NEF, ARW, DNG): the
// file ends at the furthest byte any IFD, any value and any strip or tile
// reaches, following the IFD chain, SubIFDs and the EXIF and GPS IFDs. The
// same IFD reading gives JPEG its EXIF date.

#include <algorithm>
#include <array>
#include <vector>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::size_t kMaxIfds = 64;
constexpr std::uint16_t kMaxEntries = 4096;

enum Tag : std::uint16_t {
  kMake = 271,
  kStripOffsets = 273,
  kStripByteCounts = 279,
  kDateTime = 306,
  kTileOffsets = 324,
  kTileByteCounts = 325,
  kSubIfds = 330,
  kJpegOffset = 513,
  kJpegLength = 514,
  kExifIfd = 34665,
  kGpsIfd = 34853,
  kDateTimeOriginal = 36867,
  kDngVersion = 50706,
};

std::uint32_t TypeSize(std::uint16_t type) {
  static constexpr std::array<std::uint8_t, 14> sizes{0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
  return type < sizes.size() ? sizes[type] : 0;
}

// A TIFF structure at base within a reader, its fields bounded by limit.
class Tiff {
 public:
  Tiff(Reader& r, std::uint64_t base, std::uint64_t limit) : r_(r), base_(base), limit_(limit) {}

  bool Header() {
    const auto h = r_.View(base_, 8);
    if (h.size() < 8) return false;
    if (StartsWith(h, std::string_view("II*\0", 4))) {
      little_ = true;
    } else if (!StartsWith(h, std::string_view("MM\0*", 4))) {
      return false;
    }
    firstIfd_ = U32(4).value_or(0);
    return firstIfd_ >= 8;
  }

  std::optional<std::uint16_t> U16(std::uint64_t o) {
    if (!Inside(o, 2)) return std::nullopt;
    return little_ ? r_.Le16(base_ + o) : r_.Be16(base_ + o);
  }
  std::optional<std::uint32_t> U32(std::uint64_t o) {
    if (!Inside(o, 4)) return std::nullopt;
    return little_ ? r_.Le32(base_ + o) : r_.Be32(base_ + o);
  }
  bool Inside(std::uint64_t o, std::uint64_t length) const {
    return base_ <= limit_ && o <= limit_ - base_ && limit_ - base_ - o >= length;
  }

  struct Entry {
    std::uint16_t tag = 0, type = 0;
    std::uint32_t count = 0;
    std::uint64_t valueAt = 0;  // relative to base: inline or where the offset points
    std::uint64_t bytes = 0;
  };

  std::optional<Entry> EntryAt(std::uint64_t o) {
    const auto tag = U16(o), type = U16(o + 2);
    const auto count = U32(o + 4);
    if (!tag || !type || !count) return std::nullopt;
    Entry e{*tag, *type, *count, o + 8, std::uint64_t{TypeSize(*type)} * *count};
    if (e.bytes > 4) {
      const auto at = U32(o + 8);
      if (!at) return std::nullopt;
      e.valueAt = *at;
    }
    return e;
  }

  // Element i of a SHORT or LONG (or IFD) array.
  std::optional<std::uint32_t> Element(const Entry& e, std::uint32_t i) {
    if (i >= e.count) return std::nullopt;
    if (e.type == 3) {
      const auto v = U16(e.valueAt + 2ull * i);
      if (!v) return std::nullopt;
      return std::uint32_t{*v};
    }
    if (e.type == 4 || e.type == 13) return U32(e.valueAt + 4ull * i);
    return std::nullopt;
  }

  std::string Ascii(const Entry& e, std::size_t max) {
    if (e.type != 2) return {};
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(e.count, max));
    if (!Inside(e.valueAt, n)) return {};
    const auto v = r_.View(base_ + e.valueAt, n);
    std::string text(v.begin(), v.end());
    if (const auto z = text.find('\0'); z != std::string::npos) text.resize(z);
    return text;
  }

  std::uint32_t FirstIfd() const { return firstIfd_; }

 private:
  Reader& r_;
  std::uint64_t base_;
  std::uint64_t limit_;
  bool little_ = false;
  std::uint32_t firstIfd_ = 0;
};

}  // namespace

std::optional<std::int64_t> ExifTime(Reader& reader, std::uint64_t base, std::uint64_t limit) {
  Tiff t(reader, base, limit);
  if (!t.Header()) return std::nullopt;
  std::optional<std::int64_t> plain;
  std::uint64_t ifd = t.FirstIfd();
  for (int depth = 0; depth < 2; ++depth) {
    const auto count = t.U16(ifd);
    if (!count) break;
    std::uint64_t exif = 0;
    for (std::uint32_t i = 0; i < *count && i < kMaxEntries; ++i) {
      const auto e = t.EntryAt(ifd + 2 + 12ull * i);
      if (!e) break;
      if (e->tag == kDateTimeOriginal) {
        if (auto v = ParseExifTime(t.Ascii(*e, 32))) return v;
      } else if (e->tag == kDateTime && !plain) {
        plain = ParseExifTime(t.Ascii(*e, 32));
      } else if (e->tag == kExifIfd) {
        exif = t.Element(*e, 0).value_or(0);
      }
    }
    if (exif == 0) break;
    ifd = exif;
  }
  return plain;
}

bool TiffMatches(std::span<const std::uint8_t> head) {
  return head.size() >= 8 &&
         (StartsWith(head, std::string_view("II*\0", 4)) || StartsWith(head, std::string_view("MM\0*", 4)));
}

Parsed TiffParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!TiffMatches(r.View(0, 8))) return {};
  // Judge against the limit, not the source, so that a structure reaching
  // past the source is seen as cut short.
  Tiff t(r, 0, limits.maxLength);
  if (!t.Header()) return {};
  std::string extension = "tif";
  if (r.Equals(8, "CR") && r.U8(10) == 2) extension = "cr2";
  std::optional<std::int64_t> original, plain;
  std::string make;
  bool dng = false;

  std::uint64_t furthest = 8;
  bool broken = false;
  std::vector<std::uint64_t> pending{t.FirstIfd()};
  std::vector<std::uint64_t> seen;
  auto reach = [&](std::uint64_t offset, std::uint64_t length) {
    if (offset > limits.maxLength || length > limits.maxLength - offset) {
      broken = true;
      return;
    }
    furthest = std::max(furthest, offset + length);
  };

  while (!pending.empty() && seen.size() < kMaxIfds) {
    const std::uint64_t ifd = pending.back();
    pending.pop_back();
    if (ifd < 8 || std::find(seen.begin(), seen.end(), ifd) != seen.end()) continue;
    seen.push_back(ifd);
    const auto count = t.U16(ifd);
    if (!count || *count == 0 || *count > kMaxEntries) {
      broken = true;
      continue;
    }
    reach(ifd, 2 + 12ull * *count + 4);
    std::optional<Tiff::Entry> offsets[3], counts[3];  // strips, tiles, JPEG
    for (std::uint32_t i = 0; i < *count; ++i) {
      const auto e = t.EntryAt(ifd + 2 + 12ull * i);
      if (!e) {
        broken = true;
        break;
      }
      if (e->bytes > 4) reach(e->valueAt, e->bytes);
      switch (e->tag) {
        case kStripOffsets: offsets[0] = e; break;
        case kStripByteCounts: counts[0] = e; break;
        case kTileOffsets: offsets[1] = e; break;
        case kTileByteCounts: counts[1] = e; break;
        case kJpegOffset: offsets[2] = e; break;
        case kJpegLength: counts[2] = e; break;
        case kSubIfds:
        case kExifIfd:
        case kGpsIfd:
          for (std::uint32_t k = 0; k < e->count && k < kMaxIfds; ++k) {
            if (const auto v = t.Element(*e, k)) pending.push_back(*v);
          }
          break;
        case kDateTimeOriginal: original = ParseExifTime(t.Ascii(*e, 32)); break;
        case kDateTime:
          if (!plain) plain = ParseExifTime(t.Ascii(*e, 32));
          break;
        case kMake:
          if (make.empty()) make = t.Ascii(*e, 64);
          break;
        case kDngVersion: dng = true; break;
        default: break;
      }
    }
    for (int k = 0; k < 3; ++k) {
      if (!offsets[k] || !counts[k]) continue;
      const std::uint32_t n = std::min(offsets[k]->count, counts[k]->count);
      for (std::uint32_t i = 0; i < n && !broken; ++i) {
        const auto at = t.Element(*offsets[k], i);
        const auto bytes = t.Element(*counts[k], i);
        if (!at || !bytes) {
          broken = true;
          break;
        }
        reach(*at, *bytes);
      }
    }
    // The next IFD of the chain.
    if (const auto next = t.U32(ifd + 2 + 12ull * *count); next && *next != 0) pending.push_back(*next);
  }

  if (dng) {
    extension = "dng";
  } else if (extension == "tif" && make.rfind("NIKON", 0) == 0) {
    extension = "nef";
  } else if (extension == "tif" && make.rfind("SONY", 0) == 0) {
    extension = "arw";
  }
  Parsed p;
  if (broken || furthest > r.End()) {
    p = Damaged(std::min(furthest, r.End()), extension);
  } else {
    p = Complete(furthest, extension);
  }
  SetTime(p, original ? original : plain, true);
  return p;
}

}  // namespace ambrelic::carve::formats
