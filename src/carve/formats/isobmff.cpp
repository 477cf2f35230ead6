// ISO base media files (MP4, MOV, 3GP, M4A, HEIC, AVIF, CR3): top-level
// boxes one after another from ftyp. The format has no end marker, so the
// file ends after the last box of a kind that may stand at the top level,
// once the boxes that carry its media (moov and mdat, or meta and mdat for
// an image) have been seen; a box whose size runs past the bytes is a cut.

#include <algorithm>
#include <array>
#include <string_view>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::array<std::string_view, 22> kTopLevel{
    "ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof", "mfra", "pdin",
    "styp", "sidx", "ssix", "prft", "emsg", "udta", "pnot", "junk", "PICT", "abst", "afra"};

// Seconds between 1904-01-01 and 1970-01-01.
constexpr std::int64_t k1904 = 2082844800;

std::string ExtensionFor(std::string_view brand) {
  if (brand == "qt  ") return "mov";
  if (brand.substr(0, 3) == "3gp") return "3gp";
  if (brand.substr(0, 3) == "3g2") return "3g2";
  if (brand == "heic" || brand == "heix" || brand == "hevc" || brand == "heim" || brand == "heis" ||
      brand == "mif1" || brand == "msf1") {
    return "heic";
  }
  if (brand == "avif" || brand == "avis") return "avif";
  if (brand == "M4A " || brand == "M4B ") return "m4a";
  if (brand == "M4V ") return "m4v";
  if (brand == "crx ") return "cr3";
  return "mp4";
}

std::optional<std::int64_t> MovieTime(Reader& r, std::uint64_t moov, std::uint64_t end) {
  for (std::uint64_t pos = moov + 8; pos + 8 <= end;) {
    const auto size = r.Be32(pos);
    if (!size || *size < 8) return std::nullopt;
    if (r.Equals(pos + 4, "mvhd")) {
      const auto version = r.U8(pos + 8);
      if (!version) return std::nullopt;
      const auto t = *version == 1 ? r.Be64(pos + 12) : r.Be32(pos + 12).value_or(0);
      // Unset (0) or past any plausible date: no time.
      if (!t || *t < static_cast<std::uint64_t>(k1904) || *t - k1904 > (std::uint64_t{1} << 33)) return std::nullopt;
      return static_cast<std::int64_t>(*t) - k1904;
    }
    pos += *size;
  }
  return std::nullopt;
}

}  // namespace

bool IsoBmffMatches(std::span<const std::uint8_t> head) {
  if (head.size() < 12 || !StartsWith(head, "ftyp", 4)) return false;
  const std::uint32_t size = Be32At(head, 0);
  return size >= 16 && size <= 4096;
}

Parsed IsoBmffParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  const auto head = r.View(0, 12);
  if (!IsoBmffMatches(head)) return {};
  const std::string brand(head.begin() + 8, head.begin() + 12);
  const std::string ext = ExtensionFor(brand);
  bool moov = false, mdat = false, meta = false, moof = false;
  std::optional<std::int64_t> time;
  std::uint64_t pos = 0;
  for (;;) {
    std::uint8_t h[16];
    if (!r.Get(pos, std::span(h, 8))) break;
    const std::string_view type(reinterpret_cast<const char*>(h + 4), 4);
    if (std::find(kTopLevel.begin(), kTopLevel.end(), type) == kTopLevel.end()) break;
    if (type == "ftyp" && pos != 0) break;  // the next file
    std::uint64_t size = Be32At(h, 0);
    std::uint64_t header = 8;
    if (size == 1) {
      const auto large = r.Be64(pos + 8);
      if (!large) return Damaged(pos, ext);
      size = *large;
      header = 16;
    } else if (size == 0) {
      // "To the end of the file": nothing here says where that is.
      return Damaged(r.End(), ext);
    }
    if (size < header) break;
    if (!r.Has(pos, size)) {
      Parsed p = Damaged(r.End(), ext);
      p.time = time;
      return p;
    }
    if (type == "moov") {
      moov = true;
      time = MovieTime(r, pos, pos + size);
    }
    mdat |= type == "mdat";
    meta |= type == "meta";
    moof |= type == "moof";
    pos += size;
  }
  const bool whole = (moov && (mdat || moof)) || (meta && mdat) || (moov && ext == "mov");
  Parsed p = whole ? Complete(pos, ext) : Damaged(pos, ext);
  p.time = time;
  return p;
}

}  // namespace ambrelic::carve::formats
