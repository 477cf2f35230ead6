#include "carve/format.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <string>
#include <vector>

#include "carve/formats/families.h"

namespace ambrelic::carve {
namespace {

using namespace formats;

// Order matters only where two families could accept the same first bytes;
// Identify still runs every one that matches.
constexpr std::array kFormats{
  Format{"jpg", 4, JpegMatches, JpegParse},
  Format{"png", 16, PngMatches, PngParse},
  Format{"gif", 6, GifMatches, GifParse},
  Format{"bmp", 30, BmpMatches, BmpParse},
  Format{"riff", 12, RiffMatches, RiffParse},
  Format{"tif", 16, TiffMatches, TiffParse},
  Format{"mp4", 12, IsoBmffMatches, IsoBmffParse},
  Format{"mp3", 10, Mp3Matches, Mp3Parse},
  Format{"flac", 4, FlacMatches, FlacParse},
  Format{"ogg", 28, OggMatches, OggParse},
  Format{"pdf", 8, PdfMatches, PdfParse},
  Format{"zip", 30, ZipMatches, ZipParse},
  Format{"ole2", 8, Ole2Matches, Ole2Parse},
  Format{"sqlite", 16, SqliteMatches, SqliteParse},
  Format{"gz", 10, GzipMatches, GzipParse},
  Format{"7z", 32, SevenZipMatches, SevenZipParse},
  Format{"rar", 8, RarMatches, RarParse},
};

struct Alias {
  std::string_view extension;
  std::string_view type;
};

// Every extension a family writes, so that a restored file's name leads to
// the parser that checks it.
constexpr Alias kAliases[] = {
  {"jpg", "jpg"},   {"jpeg", "jpg"},  {"jpe", "jpg"},   {"jfif", "jpg"},
  {"png", "png"},   {"gif", "gif"},   {"bmp", "bmp"},   {"dib", "bmp"},
  {"webp", "riff"}, {"avi", "riff"},  {"wav", "riff"},
  {"tif", "tif"},   {"tiff", "tif"},  {"cr2", "tif"},   {"nef", "tif"},
  {"arw", "tif"},   {"dng", "tif"},
  {"mp4", "mp4"},   {"m4v", "mp4"},   {"m4a", "mp4"},   {"mov", "mp4"},
  {"3gp", "mp4"},   {"3g2", "mp4"},   {"heic", "mp4"},  {"heif", "mp4"},
  {"avif", "mp4"},  {"cr3", "mp4"},   {"m4b", "mp4"},
  {"mp3", "mp3"},   {"flac", "flac"},
  {"ogg", "ogg"},   {"oga", "ogg"},   {"ogv", "ogg"},   {"opus", "ogg"},
  {"pdf", "pdf"},
  {"zip", "zip"},   {"docx", "zip"},  {"xlsx", "zip"},  {"pptx", "zip"},
  {"odt", "zip"},   {"ods", "zip"},   {"odp", "zip"},   {"epub", "zip"},
  {"jar", "zip"},   {"apk", "zip"},
  {"doc", "ole2"},  {"ole", "ole2"},  {"msi", "ole2"},  {"xls", "ole2"},  {"ppt", "ole2"},  {"msg", "ole2"},
  {"sqlite", "sqlite"}, {"sqlite3", "sqlite"},
  {"gz", "gz"},     {"tgz", "gz"},
  {"7z", "7z"},     {"rar", "rar"},
};

const Format* ByType(std::string_view type) {
  for (const Format& f : kFormats) {
    if (f.type == type) {
      return &f;
    }
  }
  return nullptr;
}

bool Better(const Parsed& candidate, const Parsed& best) {
  if (candidate.verdict == Verdict::NotThisFormat) {
    return false;
  }
  if (best.verdict == Verdict::NotThisFormat) {
    return true;
  }
  return best.verdict == Verdict::Damaged && candidate.length > best.length;
}

// Writers pad some files past their structure's end (zeros or 0xFF after a
// JPEG's EOI, line ends after a PDF's %%EOF): a file checked whole is whole
// up to such padding.
std::uint64_t PastPadding(ByteSource& source, std::uint64_t end, const Limits& limits) {
 const std::uint64_t size = std::min(source.Size(), limits.maxLength);
 constexpr std::uint64_t kMaxPadding = 1 << 20;
 if (end >= size || size - end > kMaxPadding) {
  return end;
 }
 std::array<std::uint8_t, 4096> buffer{};
 for (std::uint64_t at = end; at < size;) {
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - at));
  const std::size_t got = source.Read(at, std::span(buffer.data(), want));
  if (got == 0) {
   return end;
  }
  for (std::size_t i = 0; i < got; ++i) {
   const std::uint8_t c = buffer[i];
   if (c != 0 && c != 0xFF && c != ' ' && c != '\r' && c != '\n' && c != '\t' && c != 0x1A) {
    return end;
   }
  }
  at += got;
 }
 return size;
}

}  // namespace

std::span<const Format> Formats() { return kFormats; }

const Format* FormatForExtension(std::string_view extension) {
  std::string lower(extension);
  if (!lower.empty() && lower.front() == '.') {
    lower.erase(0, 1);
  }
  std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  for (const Alias& a : kAliases) {
    if (a.extension == lower) {
      return ByType(a.type);
    }
  }
  return nullptr;
}

Parsed Identify(ByteSource& source, const Limits& limits) {
  std::array<std::uint8_t, 64> headBuffer{};
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(headBuffer.size(), limits.maxLength));
 const std::size_t got = source.Read(0, std::span(headBuffer.data(), want));
  const std::span<const std::uint8_t> head(headBuffer.data(), got);
  Parsed best;
  for (const Format& f : kFormats) {
    if (got < f.headBytes || !f.Matches(head)) {
      continue;
    }
    Parsed p = f.Parse(source, limits);
    if (p.verdict == Verdict::Complete) {
      return p;
    }
    if (Better(p, best)) {
      best = std::move(p);
    }
  }
  return best;
}

Parsed Verify(ByteSource& source, std::string_view extension, const Limits& limits) {
 const Format* named = FormatForExtension(extension);
 Parsed p = named != nullptr ? named->Parse(source, limits) : Parsed{};
 // A file named for one type may well be another whole one (a WebP saved
 // as .jpg): judged by its first bytes then.
 if (p.verdict == Verdict::NotThisFormat) {
  p = Identify(source, limits);
 }
 if (named == nullptr) {
  return p;  // a type the scan does not know unless its bytes say so
 }
 if (p.verdict == Verdict::NotThisFormat) {
  // Named for a type the scan knows, the bytes are none: other content
  // took the file's place.
  p.verdict = Verdict::Damaged;
  p.length = 0;
  p.extension = std::string(named->type);
  return p;
 }
 if (p.verdict == Verdict::Complete) {
  p.length = PastPadding(source, p.length, limits);
 }
 return p;
}

}  // namespace ambrelic::carve
