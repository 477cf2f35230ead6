// The row texts' number and date formats ("%u", "%8llu", "%02d/%02d/%04d
// %02d:%02d"), written without printf: a search formats them for every
// row it lists, and printf's format parsing was the larger part of that.
#pragma once

#include <cstdint>
#include <string>

namespace ambrelic::disk {

// Appends v in decimal, zero-padded to at least minDigits digits.
inline void AppendDecimal(std::string& out, std::uint64_t v, int minDigits = 1) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = static_cast<char>('0' + v % 10);
    v /= 10;
  } while (v != 0);
  for (int i = n; i < minDigits; ++i) out += '0';
  while (n > 0) out += digits[--n];
}

// "%Nllu": v right-aligned in at least width characters.
inline std::string RightAligned(std::uint64_t v, std::size_t width) {
  std::string digits;
  AppendDecimal(digits, v);
  if (digits.size() >= width) return digits;
  return std::string(width - digits.size(), ' ') + digits;
}

// "%02d/%02d/%04d %02d:%02d" of month, day, year, hour, minute (the FAT
// rows' "%02d" year is always four digits: 1980 and up). Fields are
// non-negative by construction at every caller.
inline std::string DateTimeText(unsigned month, unsigned day, unsigned year, unsigned hour, unsigned minute) {
  std::string out;
  out.reserve(16);
  AppendDecimal(out, month, 2);
  out += '/';
  AppendDecimal(out, day, 2);
  out += '/';
  AppendDecimal(out, year, 4);
  out += ' ';
  AppendDecimal(out, hour, 2);
  out += ':';
  AppendDecimal(out, minute, 2);
  return out;
}

}  // namespace ambrelic::disk
