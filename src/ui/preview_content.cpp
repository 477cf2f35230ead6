#include "ui/preview_content.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace ambrelic::ui {
namespace {

bool StartsWith(std::string_view bytes, std::string_view signature, std::size_t at = 0) {
  return bytes.size() >= at + signature.size() && bytes.compare(at, signature.size(), signature) == 0;
}

// Length of the UTF-8 sequence at i: 0 when invalid, and the remaining
// length when the bytes end inside a valid beginning (cut by the preview).
std::size_t Utf8Sequence(std::string_view t, std::size_t i) {
  const auto b = [&](std::size_t k) { return static_cast<unsigned char>(t[k]); };
  const unsigned char c = b(i);
  std::size_t n;
  if (c < 0x80) return 1;
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c >= 0xE0 && c <= 0xEF) n = 3;
  else if (c >= 0xF0 && c <= 0xF4) n = 4;
  else return 0;
  for (std::size_t k = 1; k < n; ++k) {
    if (i + k >= t.size()) return t.size() - i;
    if ((b(i + k) & 0xC0) != 0x80) return 0;
  }
  return n;
}

bool IsTextControl(unsigned char c) { return c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == 0x1B; }

}  // namespace

std::string KindFromBytes(std::string_view b) {
  if (b.empty()) return std::string();
  struct Signature {
    std::string_view bytes;
    std::size_t at;
    const char* kind;
  };
  static const Signature kSignatures[] = {
      {std::string_view("\xFF\xD8\xFF", 3), 0, "JPEG image"},
      {std::string_view("\x89PNG\r\n\x1A\n", 8), 0, "PNG image"},
      {"GIF87a", 0, "GIF image"},
      {"GIF89a", 0, "GIF image"},
      {"BM", 0, "BMP image"},
      {"WEBP", 8, "WebP image"},
      {"WAVE", 8, "WAVE audio"},
      {"AVI ", 8, "AVI video"},
      {"ftyp", 4, "MP4 / QuickTime video or HEIF image"},
      {std::string_view("II*\0", 4), 0, "TIFF image or raw photo"},
      {std::string_view("MM\0*", 4), 0, "TIFF image or raw photo"},
      {"%PDF-", 0, "PDF document"},
      {std::string_view("PK\x03\x04", 4), 0, "ZIP archive (also DOCX, XLSX, ODT, JAR...)"},
      {std::string_view("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8), 0, "OLE2 compound document (DOC, XLS, PPT, MSG...)"},
      {std::string_view("\x1F\x8B", 2), 0, "gzip archive"},
      {"BZh", 0, "bzip2 archive"},
      {std::string_view("7z\xBC\xAF\x27\x1C", 6), 0, "7-Zip archive"},
      {"Rar!", 0, "RAR archive"},
      {std::string_view("\xFD" "7zXZ", 5), 0, "xz archive"},
      {"ID3", 0, "MP3 audio"},
      {"fLaC", 0, "FLAC audio"},
      {"OggS", 0, "Ogg audio or video"},
      {std::string_view("\x1A\x45\xDF\xA3", 4), 0, "Matroska / WebM video"},
      {"SQLite format 3", 0, "SQLite database"},
      {std::string_view("\x7F" "ELF", 4), 0, "ELF executable"},
      {"MZ", 0, "Windows executable"},
      {"{\\rtf", 0, "RTF document"},
      {"<?xml", 0, "XML document"},
  };
  for (const Signature& s : kSignatures) {
    if (StartsWith(b, s.bytes, s.at)) {
      // "RIFF" files name their kind at 8; BMP wants its header size too.
      if ((s.at == 8) && !StartsWith(b, "RIFF")) continue;
      if (std::string_view(s.kind) == "BMP image" && (b.size() < 18 || b[14] == 0)) continue;
      return s.kind;
    }
  }
  if (std::all_of(b.begin(), b.end(), [](char c) { return c == 0; })) return "only zeros";
  return std::string();
}

TextEncoding GuessTextEncoding(std::string_view b) {
  if (StartsWith(b, "\xEF\xBB\xBF")) return TextEncoding::Utf8;
  if (StartsWith(b, "\xFF\xFE")) return TextEncoding::Utf16Le;
  if (StartsWith(b, "\xFE\xFF")) return TextEncoding::Utf16Be;
  if (b.empty()) return TextEncoding::Utf8;
  // UTF-16 without a mark: most characters of Latin text have a zero high
  // byte, so one byte of each pair is zero and the other printable.
  if (b.size() >= 4) {
    std::size_t evenZero = 0, oddZero = 0;
    const std::size_t pairs = b.size() / 2;
    for (std::size_t i = 0; i + 1 < b.size(); i += 2) {
      evenZero += b[i] == 0;
      oddZero += b[i + 1] == 0;
    }
    if (oddZero * 10 >= pairs * 7 && evenZero * 10 <= pairs) return TextEncoding::Utf16Le;
    if (evenZero * 10 >= pairs * 7 && oddZero * 10 <= pairs) return TextEncoding::Utf16Be;
  }
  std::size_t controls = 0;
  bool utf8 = true;
  for (std::size_t i = 0; i < b.size();) {
    const auto c = static_cast<unsigned char>(b[i]);
    if (c == 0) return TextEncoding::None;
    if ((c < 0x20 && !IsTextControl(c)) || c == 0x7F) ++controls;
    const std::size_t n = Utf8Sequence(b, i);
    if (n == 0) {
      utf8 = false;
      ++i;
    } else {
      i += n;
    }
  }
  // A stray control byte in a text file happens; many mean binary data.
  if (controls * 100 > b.size()) return TextEncoding::None;
  if (utf8) return TextEncoding::Utf8;
  // Single-byte text: the bytes above 0x7F are letters in Windows-1252
  // (what Windows text files mostly are); it needs mostly ASCII around them.
  std::size_t high = 0;
  for (char ch : b) high += static_cast<unsigned char>(ch) >= 0x80;
  return high * 4 <= b.size() ? TextEncoding::Windows1252 : TextEncoding::None;
}

const char* EncodingName(TextEncoding encoding) {
  switch (encoding) {
    case TextEncoding::Utf8: return "UTF-8";
    case TextEncoding::Utf16Le: return "UTF-16LE";
    case TextEncoding::Utf16Be: return "UTF-16BE";
    case TextEncoding::Windows1252: return "Windows-1252";
    case TextEncoding::None: break;
  }
  return "";
}

std::string TextAsUtf8(std::string_view bytes, TextEncoding encoding) {
  static const std::string kReplacement = "\xEF\xBF\xBD";
  if (encoding == TextEncoding::None) return std::string();
  std::size_t skip = 0;
  if (encoding == TextEncoding::Utf8 && StartsWith(bytes, "\xEF\xBB\xBF")) skip = 3;
  if (encoding == TextEncoding::Utf16Le && StartsWith(bytes, "\xFF\xFE")) skip = 2;
  if (encoding == TextEncoding::Utf16Be && StartsWith(bytes, "\xFE\xFF")) skip = 2;
  bytes.remove_prefix(skip);
  iconv_t cd = iconv_open("UTF-8", EncodingName(encoding));
  if (cd == reinterpret_cast<iconv_t>(-1)) return std::string(bytes);
  std::string out;
  out.reserve(bytes.size() + bytes.size() / 2);
  char buffer[4096];
  char* in = const_cast<char*>(bytes.data());
  std::size_t inLeft = bytes.size();
  const std::size_t unit = (encoding == TextEncoding::Utf16Le || encoding == TextEncoding::Utf16Be) ? 2 : 1;
  while (inLeft > 0) {
    char* to = buffer;
    std::size_t toLeft = sizeof buffer;
    const std::size_t rc = iconv(cd, &in, &inLeft, &to, &toLeft);
    out.append(buffer, static_cast<std::size_t>(to - buffer));
    if (rc != static_cast<std::size_t>(-1)) break;
    if (errno == E2BIG) continue;
    // An invalid sequence, or one cut at the end of what was read.
    if (errno == EINVAL && inLeft < 4) break;
    out += kReplacement;
    const std::size_t step = std::min(unit, inLeft);
    in += step;
    inLeft -= step;
  }
  iconv_close(cd);
  return out;
}

std::string HexDump(std::string_view bytes, std::size_t limit) {
  const std::size_t n = std::min(bytes.size(), limit);
  std::string out;
  out.reserve((n / 16 + 1) * 78);
  char line[96];
  for (std::size_t at = 0; at < n; at += 16) {
    int len = std::snprintf(line, sizeof line, "%08zx ", at);
    std::string ascii;
    for (std::size_t k = 0; k < 16; ++k) {
      if (at + k < n) {
        const auto c = static_cast<unsigned char>(bytes[at + k]);
        len += std::snprintf(line + len, sizeof line - static_cast<std::size_t>(len), "%s%02x", k == 8 ? "  " : " ", c);
        ascii += (c >= 0x20 && c < 0x7F) ? static_cast<char>(c) : '.';
      } else {
        len += std::snprintf(line + len, sizeof line - static_cast<std::size_t>(len), "%s  ", k == 8 ? "  " : " ");
      }
    }
    out.append(line, static_cast<std::size_t>(len));
    out += "  |" + ascii + "|\n";
  }
  return out;
}

std::string_view EmbeddedJpeg(std::string_view bytes) {
  if (!StartsWith(bytes, std::string_view("II*\0", 4)) && !StartsWith(bytes, std::string_view("MM\0*", 4))) {
    return std::string_view();
  }
  std::string_view best;
  const std::string_view start("\xFF\xD8\xFF", 3);
  const std::string_view end("\xFF\xD9", 2);
  for (std::size_t at = bytes.find(start, 8); at != std::string_view::npos; at = bytes.find(start, at + 3)) {
    // The image ends at the last end marker before the next image starts
    // (thumbnails and previews follow one another).
    const std::size_t next = bytes.find(start, at + 3);
    const std::string_view span = bytes.substr(at, next == std::string_view::npos ? std::string_view::npos : next - at);
    const std::size_t stop = span.rfind(end);
    if (stop != std::string_view::npos && stop + 2 > best.size()) best = span.substr(0, stop + 2);
  }
  return best;
}

}  // namespace ambrelic::ui
