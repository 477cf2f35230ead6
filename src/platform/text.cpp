#include "platform/text.h"

#include <iconv.h>
#include <langinfo.h>

#include <cerrno>
#include <clocale>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <memory>
#include <vector>

namespace ambrelic::platform {
namespace {

std::string g_oemCodepage = "CP437";

// A converter opened on demand and kept: iconv_open is far too slow to call
// per directory entry.
class Converter {
 public:
  Converter(std::string to, std::string from) : to_(std::move(to)), from_(std::move(from)) {
    cd_ = iconv_open(to_.c_str(), from_.c_str());
  }
  ~Converter() {
    if (valid()) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;
  bool valid() const { return cd_ != reinterpret_cast<iconv_t>(-1); }
  bool matches(const std::string& to, const std::string& from) const {
    return to == to_ && from == from_;
  }

  // Converts one unit of input (whole input at once); returns false when the
  // input holds something the target cannot represent.
  bool Convert(const char* in, std::size_t inLen, std::string& out) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    out.clear();
    char buf[256];
    char* src = const_cast<char*>(in);
    std::size_t left = inLen;
    while (left > 0) {
      char* dst = buf;
      std::size_t room = sizeof buf;
      std::size_t r = iconv(cd_, &src, &left, &dst, &room);
      out.append(buf, static_cast<std::size_t>(dst - buf));
      if (r == static_cast<std::size_t>(-1)) {
        if (errno == E2BIG) continue;
        return false;
      }
    }
    char* dst = buf;
    std::size_t room = sizeof buf;
    iconv(cd_, nullptr, nullptr, &dst, &room);
    out.append(buf, static_cast<std::size_t>(dst - buf));
    return true;
  }

 private:
  std::string to_, from_;
  iconv_t cd_;
};

Converter& Cached(std::unique_ptr<Converter>& slot, const std::string& to, const std::string& from) {
  if (!slot || !slot->matches(to, from)) slot = std::make_unique<Converter>(to, from);
  return *slot;
}

std::string Replacement(const std::string& charset) {
  thread_local std::unique_ptr<Converter> conv;
  std::string out;
  static const char16_t kReplacement = u'\uFFFD';
  Converter& c = Cached(conv, charset, "UTF-16LE");
  std::uint8_t bytes[2] = {static_cast<std::uint8_t>(kReplacement & 0xFF),
                           static_cast<std::uint8_t>(kReplacement >> 8)};
  if (c.valid() && c.Convert(reinterpret_cast<const char*>(bytes), 2, out)) return out;
  return "?";
}

}  // namespace

void InitLocale() {
  std::setlocale(LC_ALL, "");
  std::string cs = nl_langinfo(CODESET);
  if (cs == "ANSI_X3.4-1968" || cs == "ASCII" || cs.empty()) {
    if (!std::setlocale(LC_ALL, "C.UTF-8")) std::setlocale(LC_ALL, "C.utf8");
  }
}

std::string LocaleCharset() {
  const char* cs = nl_langinfo(CODESET);
  if (!cs || !*cs) return "UTF-8";
  return cs;
}

std::string Utf16ToLocale(std::u16string_view units) {
  std::vector<std::uint8_t> bytes(units.size() * 2);
  for (std::size_t i = 0; i < units.size(); ++i) {
    bytes[2 * i] = static_cast<std::uint8_t>(units[i] & 0xFF);
    bytes[2 * i + 1] = static_cast<std::uint8_t>(units[i] >> 8);
  }
  return Utf16ToLocale(bytes);
}

namespace {

bool IsUtf8(const std::string& charset) { return charset == "UTF-8" || charset == "utf8" || charset == "UTF8"; }

// UTF-16LE to UTF-8 by hand: names are converted for every row a search
// lists, and iconv's set-up per call cost more than the conversion.
// Unpaired surrogates become U+FFFD, as the iconv path does.
std::string Utf16ToUtf8(std::span<const std::uint8_t> utf16le) {
  std::string out;
  const std::size_t n = utf16le.size() / 2;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) {
    std::uint32_t u = utf16le[2 * i] | (utf16le[2 * i + 1] << 8);
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
      const std::uint32_t lo = utf16le[2 * i + 2] | (utf16le[2 * i + 3] << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        u = 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00);
        ++i;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    if (u < 0x80) {
      out += static_cast<char>(u);
    } else if (u < 0x800) {
      out += static_cast<char>(0xC0 | (u >> 6));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else if (u < 0x10000) {
      out += static_cast<char>(0xE0 | (u >> 12));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (u >> 18));
      out += static_cast<char>(0x80 | ((u >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (u & 0x3F));
    }
  }
  return out;
}

}  // namespace

std::string Utf16ToLocale(std::span<const std::uint8_t> utf16le) {
  thread_local std::unique_ptr<Converter> whole;
  const std::string charset = LocaleCharset();
  if (IsUtf8(charset)) return Utf16ToUtf8(utf16le);
  Converter& conv = Cached(whole, charset, "UTF-16LE");
  std::size_t n = utf16le.size() & ~std::size_t{1};
  std::string out;
  if (!conv.valid()) {
    // No converter at all: keep ASCII, mark the rest.
    for (std::size_t i = 0; i < n; i += 2) {
      unsigned u = utf16le[i] | (utf16le[i + 1] << 8);
      out += u < 0x80 ? static_cast<char>(u) : '?';
    }
    return out;
  }
  if (conv.Convert(reinterpret_cast<const char*>(utf16le.data()), n, out)) return out;

  // Something in the name cannot be converted: go character by character
  // (a surrogate pair counts as one), replacing only what fails.
  out.clear();
  const std::string repl = Replacement(charset);
  std::string piece;
  for (std::size_t i = 0; i < n;) {
    unsigned u = utf16le[i] | (utf16le[i + 1] << 8);
    std::size_t len = 2;
    if (u >= 0xD800 && u <= 0xDBFF && i + 4 <= n) {
      unsigned lo = utf16le[i + 2] | (utf16le[i + 3] << 8);
      if (lo >= 0xDC00 && lo <= 0xDFFF) len = 4;
    }
    if (conv.Convert(reinterpret_cast<const char*>(utf16le.data() + i), len, piece)) {
      out += piece;
    } else {
      out += repl;
    }
    i += len;
  }
  return out;
}

std::u16string LocaleToUtf16(std::string_view text) {
  thread_local std::unique_ptr<Converter> conv;
  Converter& c = Cached(conv, "UTF-16LE", LocaleCharset());
  std::string out;
  std::u16string result;
  if (!c.valid() || !c.Convert(text.data(), text.size(), out)) {
    // Undecodable bytes count one unit each, which never under-counts a limit.
    for (unsigned char ch : text) result += static_cast<char16_t>(ch);
    return result;
  }
  for (std::size_t i = 0; i + 1 < out.size(); i += 2) {
    result += static_cast<char16_t>(static_cast<std::uint8_t>(out[i]) |
                                    (static_cast<std::uint8_t>(out[i + 1]) << 8));
  }
  return result;
}

std::size_t Utf16Units(std::string_view text) {
  bool ascii = true;
  for (unsigned char ch : text) {
    if (ch >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return text.size();
  if (!IsUtf8(LocaleCharset())) return LocaleToUtf16(text).size();
  // UTF-8 by hand: a lead byte and its continuation bytes are one
  // character; anything else counts one unit per byte.
  std::size_t units = 0;
  std::size_t i = 0;
  while (i < text.size()) {
    const auto ch = static_cast<unsigned char>(text[i]);
    std::size_t len = ch < 0x80 ? 1 : ch >= 0xF0 && ch < 0xF5 ? 4 : ch >= 0xE0 ? 3 : ch >= 0xC2 ? 2 : 0;
    if (ch >= 0xF5) len = 0;
    bool whole = len != 0 && i + len <= text.size();
    for (std::size_t k = 1; whole && k < len; ++k) {
      whole = (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    }
    if (!whole) {
      ++units;
      ++i;
      continue;
    }
    units += len == 4 ? 2 : 1;
    i += len;
  }
  return units;
}

void SetOemCodepage(std::string codepage) { g_oemCodepage = std::move(codepage); }
const std::string& OemCodepage() { return g_oemCodepage; }

bool OemCodepageSupported(const std::string& codepage) {
  iconv_t cd = iconv_open("UTF-8", codepage.c_str());
  if (cd == reinterpret_cast<iconv_t>(-1)) return false;
  iconv_close(cd);
  return true;
}

std::string OemToLocale(std::string_view bytes) {
  bool ascii = true;
  for (unsigned char ch : bytes) {
    if (ch >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (ascii) return std::string(bytes);
  thread_local std::unique_ptr<Converter> conv;
  const std::string charset = LocaleCharset();
  Converter& c = Cached(conv, charset, g_oemCodepage);
  std::string out;
  if (c.valid() && c.Convert(bytes.data(), bytes.size(), out)) return out;
  // Byte by byte, replacing what does not convert (a lone DBCS lead byte).
  out.clear();
  const std::string repl = Replacement(charset);
  std::string piece;
  for (char ch : bytes) {
    if (static_cast<unsigned char>(ch) < 0x80) {
      out += ch;
    } else if (c.valid() && c.Convert(&ch, 1, piece)) {
      out += piece;
    } else {
      out += repl;
    }
  }
  return out;
}

std::string UpperCase(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  std::mbstate_t in{};
  std::size_t i = 0;
  char buf[MB_LEN_MAX];
  while (i < text.size()) {
    unsigned char ch = static_cast<unsigned char>(text[i]);
    if (ch < 0x80) {  // fast path, and the only path in the C locale
      out += static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
      ++i;
      continue;
    }
    wchar_t wc = 0;
    std::size_t len = std::mbrtowc(&wc, text.data() + i, text.size() - i, &in);
    if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
      in = std::mbstate_t{};
      out += text[i];
      ++i;
      continue;
    }
    std::mbstate_t o{};
    std::size_t w = std::wcrtomb(buf, static_cast<wchar_t>(std::towupper(static_cast<wint_t>(wc))), &o);
    if (w == static_cast<std::size_t>(-1)) {
      out.append(text.data() + i, len);
    } else {
      out.append(buf, w);
    }
    i += len;
  }
  return out;
}

std::size_t CharCount(std::string_view text) {
  std::size_t count = 0;
  std::mbstate_t st{};
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t len = std::mbrlen(text.data() + i, text.size() - i, &st);
    if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
      st = std::mbstate_t{};
      len = 1;
    }
    i += len;
    ++count;
  }
  return count;
}

}  // namespace ambrelic::platform
