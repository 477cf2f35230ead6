// Text conversion stand-ins for the Windows code-page services: the "ANSI
// code page" is the locale's character set (UTF-8 on any current system),
// UTF-16LE names from the disk are converted with iconv, and short FAT names
// are bytes in the volume's OEM code page (CP437 unless told otherwise).
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ambrelic::platform {

// setlocale(LC_ALL, "") once at start; falls back to C.UTF-8 when the
// environment names no locale or one whose character set is plain ASCII,
// so that names are never dropped for want of a character set.
void InitLocale();

// The locale's character set as iconv names it (for example "UTF-8").
std::string LocaleCharset();

// UTF-16LE code units to the locale's multibyte text. Characters that cannot
// be represented (unpaired surrogates, characters outside the locale's set)
// become the replacement character (or '?' where even that is missing); the
// rest of the name is kept.
std::string Utf16ToLocale(std::span<const std::uint8_t> utf16le);
std::string Utf16ToLocale(std::u16string_view units);

// Locale text to UTF-16 code units (for the restore's path-length limits).
std::u16string LocaleToUtf16(std::string_view text);

// The number of UTF-16 code units locale text takes (a character beyond
// U+FFFF counts two, a byte that starts no character one): how paths are
// measured against their limits, whatever the script.
std::size_t Utf16Units(std::string_view text);

// The OEM code page that short FAT names are read in, as iconv names it.
void SetOemCodepage(std::string codepage);   // e.g. "CP437", "CP850", "CP932"
const std::string& OemCodepage();
bool OemCodepageSupported(const std::string& codepage);

// OEM bytes to locale text; ASCII passes through untouched.
std::string OemToLocale(std::string_view bytes);

// Multibyte-aware upper-casing in the current locale (towupper per character).
std::string UpperCase(std::string_view text);

// Number of characters (not bytes) of locale text.
std::size_t CharCount(std::string_view text);

}  // namespace ambrelic::platform
