#include "disk/row_facts.h"

#include <bit>
#include <ctime>

#include "disk/text_format.h"

namespace ambrelic::disk {
namespace {

bool IsLeap(unsigned y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

unsigned DaysInMonth(unsigned year, unsigned month) {
  static constexpr unsigned kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return month == 2 && IsLeap(year) ? 29 : kDays[month - 1];
}

}  // namespace

std::optional<std::int64_t> UnixSeconds(const VolumeTime& t) {
  switch (t.kind) {
    case VolumeTime::Kind::None: return std::nullopt;
    case VolumeTime::Kind::Utc: return t.utcSeconds;
    case VolumeTime::Kind::Local: break;
  }
  if (t.month < 1 || t.month > 12 || t.day < 1 || t.day > DaysInMonth(t.year, t.month) || t.hour > 23 ||
      t.minute > 59 || t.second > 59) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = t.year - 1900;
  tm.tm_mon = t.month - 1;
  tm.tm_mday = t.day;
  tm.tm_hour = t.hour;
  tm.tm_min = t.minute;
  tm.tm_sec = t.second;
  tm.tm_isdst = -1;  // the zone's own rule for that date
  const std::time_t seconds = std::mktime(&tm);
  // -1 is also one second before 1970, a moment no FAT date can name.
  if (seconds == static_cast<std::time_t>(-1)) return std::nullopt;
  return static_cast<std::int64_t>(seconds);
}

std::string Iso8601Local(const VolumeTime& t) {
  const std::optional<std::int64_t> seconds = UnixSeconds(t);
  if (!seconds) return {};
  const std::time_t s = static_cast<std::time_t>(*seconds);
  std::tm local{};
  if (!localtime_r(&s, &local) || local.tm_year + 1900 < 0 || local.tm_year + 1900 > 9999) return {};
  std::string out;
  out.reserve(25);
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_year + 1900), 4);
  out += '-';
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_mon + 1), 2);
  out += '-';
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_mday), 2);
  out += 'T';
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_hour), 2);
  out += ':';
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_min), 2);
  out += ':';
  AppendDecimal(out, static_cast<std::uint64_t>(local.tm_sec), 2);
  long offset = local.tm_gmtoff;
  out += offset < 0 ? '-' : '+';
  if (offset < 0) offset = -offset;
  AppendDecimal(out, static_cast<std::uint64_t>(offset / 3600), 2);
  out += ':';
  AppendDecimal(out, static_cast<std::uint64_t>(offset / 60 % 60), 2);
  return out;
}

Condition Classify(const RowCondition& c) {
  if (c.content == ContentCheck::Damaged) return Condition::Damaged;
  if (!c.known || c.firstInUse) return Condition::Overwritten;
  if (c.free >= c.total) return Condition::Intact;
  if (c.free == 0) return Condition::Overwritten;
  return Condition::Partial;
}

int PercentFree(const RowCondition& c) {
  if (!c.known) return 0;
  if (c.total == 0 || c.free >= c.total) return 100;
  if (c.free == 0) return 0;
  // Whole percent rounded down, but a unit still free is never shown as 0 %.
  const long double share = static_cast<long double>(c.free) * 100 / static_cast<long double>(c.total);
  const int percent = static_cast<int>(share);
  return percent < 1 ? 1 : percent;
}

const char* ConditionName(Condition c) {
  switch (c) {
    case Condition::Intact: return "intact";
    case Condition::Partial: return "partial";
    case Condition::Overwritten: return "overwritten";
    case Condition::Damaged: return "damaged";
  }
  return "";
}

std::string ConditionText(const RowCondition& c) {
  if (!c.known) return "condition unknown: the cluster bitmap cannot be read";
  if (c.resident) return "data held in the file record";
  if (c.total == 0) return "empty file";
  std::string out;
  AppendDecimal(out, c.free);
  out += " of ";
  AppendDecimal(out, c.total);
  const bool one = c.total == 1;
  if (c.unit == ConditionUnit::Record) {
    out += one ? " record" : " records";
  } else {
    out += one ? " cluster" : " clusters";
  }
  out += " still free";
  if (c.firstInUse) out += ", the first one in use";
  return out;
}

std::uint64_t CountClearBits(Bytes bitmap, std::uint64_t first, std::uint64_t count) {
  const std::uint64_t bits = static_cast<std::uint64_t>(bitmap.size()) * 8;
  if (first >= bits) return 0;
  std::uint64_t end = count > bits - first ? bits : first + count;
  std::uint64_t clear = 0;
  std::uint64_t i = first;
  // Single bits up to a byte boundary, whole bytes, then the tail.
  for (; i < end && i % 8 != 0; ++i) clear += ((bitmap[i / 8] >> (i % 8)) & 1) == 0;
  for (; i + 8 <= end; i += 8) clear += 8 - static_cast<unsigned>(std::popcount(bitmap[i / 8]));
  for (; i < end; ++i) clear += ((bitmap[i / 8] >> (i % 8)) & 1) == 0;
  return clear;
}

}  // namespace ambrelic::disk
