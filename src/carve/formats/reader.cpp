#include "carve/formats/reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace ambrelic::carve::formats {
namespace {

constexpr std::size_t kWindow = 64 * 1024;

}  // namespace

Reader::Reader(ByteSource& source, const Limits& limits)
    : source_(source), end_(std::min(source.Size(), limits.maxLength)) {
  if (const auto memory = source.Memory(); !memory.empty()) {
    windowData_ = memory.data();
    windowLength_ = static_cast<std::size_t>(std::min<std::uint64_t>(memory.size(), end_));
  }
}

bool Reader::Fill(std::uint64_t offset) {
  if (offset >= end_) {
    return false;
  }
  if (windowData_ != nullptr && windowData_ != window_.data()) {
    return offset < windowLength_;  // a source in memory is one window
  }
  if (window_.empty()) {
    window_.resize(kWindow);
    windowData_ = window_.data();
  }
  // Aligned windows keep a parser that walks backwards a little (PDF) or
  // re-reads a field from the same window.
  windowStart_ = offset - offset % 4096;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(kWindow, end_ - windowStart_));
  windowLength_ = source_.Read(windowStart_, std::span(window_.data(), want));
  return offset < windowStart_ + windowLength_;
}

bool Reader::Get(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (!Has(offset, out.size())) {
    return false;
  }
  std::size_t done = 0;
  while (done < out.size()) {
    const std::uint64_t at = offset + done;
    if (!(at >= windowStart_ && at < windowStart_ + windowLength_)) {
      const std::size_t left = out.size() - done;
      if (left >= kWindow) {
        // A large read goes straight to the source.
        const std::size_t got = source_.Read(at, out.subspan(done));
        return done + got == out.size();
      }
      if (!Fill(at)) {
        return false;
      }
    }
    const std::size_t inWindow = static_cast<std::size_t>(windowStart_ + windowLength_ - at);
    const std::size_t n = std::min(inWindow, out.size() - done);
    std::memcpy(out.data() + done, windowData_ + (at - windowStart_), n);
    done += n;
  }
  return true;
}

std::span<const std::uint8_t> Reader::View(std::uint64_t offset, std::size_t max) {
  if (offset >= end_) {
    return {};
  }
  max = static_cast<std::size_t>(std::min<std::uint64_t>({max, end_ - offset, kWindow / 2}));
  if (!(offset >= windowStart_ && offset + max <= windowStart_ + windowLength_)) {
    if (!Fill(offset)) {
      return {};
    }
  }
  const std::size_t from = static_cast<std::size_t>(offset - windowStart_);
  return std::span<const std::uint8_t>(windowData_ + from, std::min(max, windowLength_ - from));
}

std::optional<std::uint8_t> Reader::U8(std::uint64_t offset) {
  std::uint8_t b[1];
  if (!Get(offset, b)) return std::nullopt;
  return b[0];
}
std::optional<std::uint16_t> Reader::Le16(std::uint64_t offset) {
  std::uint8_t b[2];
  if (!Get(offset, b)) return std::nullopt;
  return Le16At(b, 0);
}
std::optional<std::uint32_t> Reader::Le32(std::uint64_t offset) {
  std::uint8_t b[4];
  if (!Get(offset, b)) return std::nullopt;
  return Le32At(b, 0);
}
std::optional<std::uint64_t> Reader::Le64(std::uint64_t offset) {
  std::uint8_t b[8];
  if (!Get(offset, b)) return std::nullopt;
  return std::uint64_t{Le32At(b, 0)} | (std::uint64_t{Le32At(b, 4)} << 32);
}
std::optional<std::uint16_t> Reader::Be16(std::uint64_t offset) {
  std::uint8_t b[2];
  if (!Get(offset, b)) return std::nullopt;
  return Be16At(b, 0);
}
std::optional<std::uint32_t> Reader::Be32(std::uint64_t offset) {
  std::uint8_t b[4];
  if (!Get(offset, b)) return std::nullopt;
  return Be32At(b, 0);
}
std::optional<std::uint64_t> Reader::Be64(std::uint64_t offset) {
  std::uint8_t b[8];
  if (!Get(offset, b)) return std::nullopt;
  return (std::uint64_t{Be32At(b, 0)} << 32) | Be32At(b, 4);
}

bool Reader::Equals(std::uint64_t offset, std::string_view text) {
  const auto v = View(offset, text.size());
  return v.size() == text.size() && StartsWith(v, text);
}

std::optional<std::uint64_t> Reader::Find(std::uint64_t from, std::uint64_t to, std::string_view pattern) {
  to = std::min(to, end_);
  if (pattern.empty() || from >= to) {
    return std::nullopt;
  }
  const auto first = static_cast<std::uint8_t>(pattern[0]);
  std::uint64_t at = from;
  while (at < to && to - at >= pattern.size()) {
    const auto v = View(at, kWindow / 2);
    if (v.empty()) {
      return std::nullopt;
    }
    const std::size_t usable = static_cast<std::size_t>(std::min<std::uint64_t>(v.size(), to - at));
    const auto* hit = static_cast<const std::uint8_t*>(std::memchr(v.data(), first, usable));
    if (hit == nullptr) {
      at += usable;
      continue;
    }
    const std::uint64_t candidate = at + static_cast<std::uint64_t>(hit - v.data());
    if (to - candidate < pattern.size()) {
      return std::nullopt;
    }
    if (Equals(candidate, pattern)) {
      return candidate;
    }
    at = candidate + 1;
  }
  return std::nullopt;
}

Parsed Complete(std::uint64_t length, std::string extension) {
  Parsed p;
  p.verdict = Verdict::Complete;
  p.length = length;
  p.extension = std::move(extension);
  return p;
}

Parsed Damaged(std::uint64_t length, std::string extension) {
  Parsed p;
  p.verdict = Verdict::Damaged;
  p.length = length;
  p.extension = std::move(extension);
  return p;
}

std::optional<std::int64_t> CivilSeconds(int y, int m, int d, int hh, int mm, int ss) {
  if (y < 1970 || y > 2200 || m < 1 || m > 12 || d < 1 || d > 31 || hh < 0 || hh > 23 || mm < 0 ||
      mm > 59 || ss < 0 || ss > 60) {
    return std::nullopt;
  }
  // Days from civil (proleptic Gregorian), after Howard Hinnant's algorithm.
  y -= m <= 2;
  const int era = y / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = static_cast<unsigned>((153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1);
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const std::int64_t days = std::int64_t{era} * 146097 + doe - 719468;
  return days * 86400 + hh * 3600 + mm * 60 + ss;
}

std::string NameHintFor(std::int64_t seconds) {
  const std::int64_t days = seconds >= 0 ? seconds / 86400 : (seconds - 86399) / 86400;
  const std::int64_t rest = seconds - days * 86400;
  // Civil from days, the inverse of the above.
  const std::int64_t z = days + 719468;
  const std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const std::int64_t y0 = static_cast<std::int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  const std::int64_t y = y0 + (m <= 2);
  char text[64];
  std::snprintf(text, sizeof text, "%04lld-%02u-%02u %02d-%02d-%02d", static_cast<long long>(y), m, d,
                static_cast<int>(rest / 3600), static_cast<int>(rest / 60 % 60), static_cast<int>(rest % 60));
  return text;
}

void SetTime(Parsed& parsed, std::optional<std::int64_t> seconds, bool photo) {
  if (!seconds) {
    return;
  }
  parsed.time = seconds;
  if (photo) {
    parsed.nameHint = NameHintFor(*seconds);
  }
}

namespace {

std::optional<int> Digits(std::string_view text, std::size_t at, std::size_t count) {
  if (at > text.size() || text.size() - at < count) {
    return std::nullopt;
  }
  int v = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const char c = text[at + i];
    if (c < '0' || c > '9') {
      return std::nullopt;
    }
    v = v * 10 + (c - '0');
  }
  return v;
}

}  // namespace

std::optional<std::int64_t> ParseExifTime(std::string_view t) {
  if (t.size() < 19 || t[4] != ':' || t[7] != ':' || t[10] != ' ' || t[13] != ':' || t[16] != ':') {
    return std::nullopt;
  }
  const auto y = Digits(t, 0, 4), mo = Digits(t, 5, 2), d = Digits(t, 8, 2);
  const auto h = Digits(t, 11, 2), mi = Digits(t, 14, 2), s = Digits(t, 17, 2);
  if (!y || !mo || !d || !h || !mi || !s) {
    return std::nullopt;
  }
  return CivilSeconds(*y, *mo, *d, *h, *mi, *s);
}

std::optional<std::int64_t> ParseDigitsTime(std::string_view t) {
  const auto y = Digits(t, 0, 4), mo = Digits(t, 4, 2), d = Digits(t, 6, 2);
  if (!y || !mo || !d) {
    return std::nullopt;
  }
  // PDF lets the time of day go; a date alone is midnight.
  const int h = Digits(t, 8, 2).value_or(0), mi = Digits(t, 10, 2).value_or(0), s = Digits(t, 12, 2).value_or(0);
  return CivilSeconds(*y, *mo, *d, h, mi, s);
}

}  // namespace ambrelic::carve::formats
