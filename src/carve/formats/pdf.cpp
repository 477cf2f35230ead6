// PDF: the file ends at the last "%%EOF" that a "startxref" supports (its
// offset lands on an xref table or an xref stream object). Incremental
// updates and a linearised file's first section each end in their own
// %%EOF, so after a supported one the walk goes on only when what follows
// is more PDF (an object, an xref table, a comment).

#include <cctype>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

bool Space(std::uint8_t c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f' || c == 0; }
bool Digit(std::uint8_t c) { return c >= '0' && c <= '9'; }

// Does the startxref just before a %%EOF at eof point at a cross-reference?
bool Supported(Reader& r, std::uint64_t eof) {
  const std::uint64_t from = eof > 48 ? eof - 48 : 0;
  const auto v = r.View(from, static_cast<std::size_t>(eof - from));
  const std::string_view text(reinterpret_cast<const char*>(v.data()), v.size());
  const auto at = text.rfind("startxref");
  if (at == std::string_view::npos) return false;
  std::size_t i = at + 9;
  while (i < text.size() && Space(static_cast<std::uint8_t>(text[i]))) ++i;
  std::uint64_t offset = 0;
  std::size_t digits = 0;
  for (; i < text.size() && Digit(static_cast<std::uint8_t>(text[i])) && digits < 19; ++i, ++digits) {
    offset = offset * 10 + static_cast<std::uint64_t>(text[i] - '0');
  }
  if (digits == 0 || offset >= eof) return false;
  if (r.Equals(offset, "xref")) return true;
  // An xref stream: "N G obj".
  const auto o = r.View(offset, 32);
  std::size_t k = 0;
  auto number = [&] {
    const std::size_t start = k;
    while (k < o.size() && Digit(o[k])) ++k;
    return k > start;
  };
  auto spaces = [&] {
    const std::size_t start = k;
    while (k < o.size() && Space(o[k])) ++k;
    return k > start;
  };
  return number() && spaces() && number() && spaces() && StartsWith(o, "obj", k);
}

// What follows a supported %%EOF continues the file when it is another
// section: an object, an xref table or a comment.
bool MoreFollows(Reader& r, std::uint64_t at) {
  const auto v = r.View(at, 16);
  std::size_t k = 0;
  while (k < v.size() && (v[k] == ' ' || v[k] == '\r' || v[k] == '\n')) ++k;
  if (k == v.size()) return false;
  if (StartsWith(v, "xref", k)) return true;
  if (v[k] == '%' && !StartsWith(v, "%PDF-", k)) return true;
  const std::size_t start = k;
  while (k < v.size() && Digit(v[k])) ++k;
  return k > start && k < v.size() && v[k] == ' ';
}

std::optional<std::int64_t> CreationDate(Reader& r, std::uint64_t end) {
  // The information dictionary sits near the end or near the start.
  const std::uint64_t tail = end > 65536 ? end - 65536 : 0;
  auto at = r.Find(tail, end, "/CreationDate");
  if (!at && tail > 0) at = r.Find(0, std::min<std::uint64_t>(65536, end), "/CreationDate");
  if (!at) return std::nullopt;
  const auto v = r.View(*at + 13, 32);
  std::string_view text(reinterpret_cast<const char*>(v.data()), v.size());
  const auto d = text.find("D:");
  if (d == std::string_view::npos || d > 4) return std::nullopt;
  return ParseDigitsTime(text.substr(d + 2));
}

}  // namespace

bool PdfMatches(std::span<const std::uint8_t> head) {
  return StartsWith(head, "%PDF-1.") || StartsWith(head, "%PDF-2.");
}

Parsed PdfParse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  if (!PdfMatches(r.View(0, 8))) return {};
  std::uint64_t end = 0;
  std::uint64_t pos = 8;
  // The walk stops at the next file's header: a PDF that never ends must
  // not take the rest of the medium with it.
  std::uint64_t stop = r.End();
  for (;;) {
    const auto mark = r.Find(pos, stop, "%");
    if (!mark) break;
    pos = *mark + 1;
    if (r.Equals(*mark, "%PDF-")) {
      stop = *mark;
      break;
    }
    if (!r.Equals(*mark, "%%EOF")) continue;
    pos = *mark + 5;
    if (!Supported(r, *mark)) continue;
    std::uint64_t after = *mark + 5;
    if (r.U8(after) == '\r') ++after;
    if (r.U8(after) == '\n') ++after;
    end = after;
    if (!MoreFollows(r, after)) break;
    pos = after;
  }
  if (end == 0) {
    // How far it reads as PDF: to the end of its last whole object.
    std::uint64_t good = 8;
    for (std::uint64_t from = 8;;) {
      const auto o = r.Find(from, stop, "endobj");
      if (!o) break;
      good = from = *o + 6;
    }
    return Damaged(good, "pdf");
  }
  Parsed p = Complete(end, "pdf");
  SetTime(p, CreationDate(r, end), false);
  return p;
}

}  // namespace ambrelic::carve::formats
