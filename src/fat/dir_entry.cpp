#include "fat/dir_entry.h"

#include <cstdio>
#include <ctime>
#include <span>

#include "disk/text_format.h"
#include "platform/text.h"

namespace ambrelic::fat {

std::uint8_t ShortNameChecksum(const std::array<std::uint8_t, 11>& name) {
  std::uint8_t sum = 0;
  for (std::uint8_t b : name) {
    sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  }
  return sum;
}

void CopyLongNameBytes(disk::Bytes entry, std::uint8_t* out26) {
  // Characters 1-5, 6-11 and 12-13 of the slot.
  static constexpr std::size_t kPieces[3][2] = {{0x01, 10}, {0x0E, 12}, {0x1C, 4}};
  std::size_t at = 0;
  for (const auto& piece : kPieces) {
    for (std::size_t i = 0; i < piece[1]; ++i) out26[at++] = disk::le8(entry, piece[0] + i);
  }
}

std::string FormatModified(std::uint16_t date, std::uint16_t time) {
  return disk::DateTimeText((date >> 5) & 0x0Fu, date & 0x1Fu, 1980u + (date >> 9), time >> 11u,
                            (time >> 5) & 0x3Fu);
}

namespace {

// The latest year a volume's clock could have written: next year, so that a
// volume written across the turn of a year, or by a clock a little ahead,
// still passes.
unsigned LatestYear() {
  static const unsigned year = [] {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    if (now == static_cast<std::time_t>(-1) || !gmtime_r(&now, &utc)) return 2107u;
    return static_cast<unsigned>(utc.tm_year) + 1900u + 1u;
  }();
  return year;
}

bool PlausibleDate(std::uint16_t date) {
  if (date == 0) return true;  // never set (some tools leave creation and access dates at 0)
  const unsigned day = date & 0x1Fu;
  const unsigned month = (date >> 5) & 0x0Fu;
  const unsigned year = 1980u + (date >> 9);
  return day >= 1 && month >= 1 && month <= 12 && year <= LatestYear();
}

bool PlausibleTime(std::uint16_t time) {
  return (time >> 11) <= 23 && ((time >> 5) & 0x3Fu) <= 59 && (time & 0x1Fu) <= 29;
}

// Bytes a short name never holds: control characters and the characters
// that FAT excludes from short names, and lower-case letters (short names
// are stored upper case; the case a user sees lives in other bits).
bool ForbiddenShortNameByte(std::uint8_t b) {
  if (b < 0x20 || b == 0x7F) return true;
  if (b >= 'a' && b <= 'z') return true;
  switch (b) {
    case '"': case '*': case '+': case ',': case '.': case '/': case ':': case ';':
    case '<': case '=': case '>': case '?': case '[': case '\\': case ']': case '|':
      return true;
    default:
      return false;
  }
}

}  // namespace

bool PlausibleEntry(const disk::VolumeContext& ctx, disk::Bytes e) {
  const std::uint8_t first = disk::le8(e, 0);
  const std::uint8_t attr = disk::le8(e, kOffAttributes);
  if (attr == kAttrLongName) {
    if (disk::le16(e, kOffClusterLow) != 0 || disk::le8(e, 0x0C) != 0) return false;
    if (first == kDeletedMark) return true;
    // Sequence number 1 to 20, with the bit of the name's last entry.
    const unsigned seq = first & 0x1Fu;
    return (first & ~0x5Fu) == 0 && seq >= 1 && seq <= 20;
  }
  if ((attr & 0xC0u) != 0) return false;
  // A volume label carries no other bit than archive.
  if ((attr & 0x08u) != 0 && (attr & ~0x28u) != 0) return false;
  // Only the two case bits of the reserved byte are ever set.
  if ((disk::le8(e, 0x0C) & ~0x18u) != 0) return false;
  for (std::size_t i = 0; i < 11; ++i) {
    const std::uint8_t b = disk::le8(e, i);
    if (i == 0 && (b == kDeletedMark || b == 0x05)) continue;
    if (ForbiddenShortNameByte(b)) return false;
  }
  if (first == ' ') return false;
  if (disk::le8(e, 0x0D) > 199) return false;  // hundredths of the creation time
  if (!PlausibleDate(disk::le16(e, kOffWriteDate)) || !PlausibleTime(disk::le16(e, kOffWriteTime))) return false;
  if (!PlausibleDate(disk::le16(e, 0x10)) || !PlausibleTime(disk::le16(e, 0x0E))) return false;
  if (!PlausibleDate(disk::le16(e, 0x12))) return false;
  const Cluster c = EntryFirstCluster(e);
  const std::uint32_t size = disk::le32(e, kOffSize);
  if (c != 0 && !IsValidCluster(ctx, c)) return false;
  if ((attr & kAttrDirectory) != 0) return size == 0;
  if (size == 0) return true;
  if (c == 0 || ctx.bytesPerCluster == 0) return false;
  // The file's clusters, from its first, fit in the volume.
  const std::uint64_t clusters = (static_cast<std::uint64_t>(size) + ctx.bytesPerCluster - 1) / ctx.bytesPerCluster;
  return clusters <= ctx.lastCluster - c + 1;
}

EntryTally TallyEntries(const disk::VolumeContext& ctx, disk::Bytes cluster) {
  EntryTally tally;
  const std::size_t entries = cluster.size() / kDirEntrySize;
  for (std::size_t i = 0; i < entries; ++i) {
    const disk::Bytes e = cluster.subspan(i * kDirEntrySize, kDirEntrySize);
    const std::uint8_t first = disk::le8(e, 0);
    if (first == kEndOfDirectory) {
      tally.ended = true;
      tally.emptyAtStart = i == 0;
      break;
    }
    if (i == 0 && first == kDotEntry) tally.startsWithDot = true;
    if (first == kDotEntry) {
      // "." and ".." are folders named by dots and spaces.
      const bool dots = (disk::le8(e, kOffAttributes) & kAttrDirectory) != 0;
      ++(dots ? tally.plausible : tally.implausible);
      continue;
    }
    ++(PlausibleEntry(ctx, e) ? tally.plausible : tally.implausible);
  }
  return tally;
}

std::string BuildShortNameBytes(disk::Bytes entry, bool& firstCharLost) {
  firstCharLost = false;
  char base[8];
  char ext[3];
  for (std::size_t i = 0; i < 8; ++i) base[i] = static_cast<char>(disk::le8(entry, i));
  for (std::size_t i = 0; i < 3; ++i) ext[i] = static_cast<char>(disk::le8(entry, 8 + i));
  if (static_cast<std::uint8_t>(base[0]) == kDeletedMark) {
    base[0] = '$';
    firstCharLost = true;
  }
  std::size_t baseLen = 8;
  while (baseLen > 0 && base[baseLen - 1] == ' ') --baseLen;
  std::size_t extLen = 3;
  while (extLen > 0 && ext[extLen - 1] == ' ') --extLen;
  std::string name(base, baseLen);
  if (extLen > 0) {
    name += '.';
    name.append(ext, extLen);
  }
  return name;
}

NameConverter::NameConverter() {
  // A byte converts on its own to a fixed text exactly when the code page is
  // single-byte; a lead byte of a double-byte code page fails alone and
  // joins the following 'A'. Any such byte sends every name through iconv.
  oemTable_ = true;
  for (int b = 0; b < 256 && oemTable_; ++b) {
    const char ch = static_cast<char>(b);
    oemText_[b] = platform::OemToLocale(std::string_view(&ch, 1));
    const char pair[2] = {ch, 'A'};
    if (oemText_[b].empty() || platform::OemToLocale(std::string_view(pair, 2)) != oemText_[b] + "A") {
      oemTable_ = false;
    }
    oemUpperText_[b] = platform::UpperCase(oemText_[b]);
  }
}

void NameConverter::Oem(std::string_view oem, std::string& out) const {
  if (!oemTable_) {
    out = platform::OemToLocale(oem);
    return;
  }
  out.clear();
  for (unsigned char ch : oem) {
    if (ch < 0x80) out += static_cast<char>(ch);
    else out += oemText_[ch];
  }
}

void NameConverter::OemUpper(std::string_view oem, std::string& out) const {
  if (!oemTable_) {
    out = platform::UpperCase(platform::OemToLocale(oem));
    return;
  }
  out.clear();
  for (unsigned char ch : oem) {
    if (ch < 0x80) out += static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
    else out += oemUpperText_[ch];
  }
}

bool NameConverter::OemByteOf(std::string_view text, std::uint8_t& byte) const {
  if (!oemTable_ || text.empty()) return false;
  for (int b = 0x80; b < 256; ++b) {
    if (oemText_[b] == text) {
      byte = static_cast<std::uint8_t>(b);
      return true;
    }
  }
  return false;
}

bool NameConverter::OemBytesProducing(char ascii, std::array<bool, 256>& table) const {
  if (!oemTable_) return false;
  for (int b = 0; b < 256; ++b) {
    if (b < 0x80) {
      const char upper = static_cast<char>(b >= 'a' && b <= 'z' ? b - 32 : b);
      table[b] = upper == ascii;
    } else {
      table[b] = oemUpperText_[b].find(ascii) != std::string::npos;
    }
  }
  return true;
}

void NameConverter::Upper(std::string_view text, std::string& out) const {
  bool ascii = true;
  for (unsigned char ch : text) {
    if (ch >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (!ascii) {
    out = platform::UpperCase(text);
    return;
  }
  out.assign(text);
  for (char& ch : out) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 32);
  }
}

void NameConverter::Utf16(const std::uint8_t* bytes, std::size_t unitCount, std::string& out) const {
  bool ascii = true;
  for (std::size_t i = 0; i < unitCount; ++i) {
    if (bytes[2 * i + 1] != 0 || bytes[2 * i] >= 0x80) {
      ascii = false;
      break;
    }
  }
  if (!ascii) {
    out = platform::Utf16ToLocale(std::span<const std::uint8_t>(bytes, unitCount * 2));
    return;
  }
  out.clear();
  for (std::size_t i = 0; i < unitCount; ++i) out += static_cast<char>(bytes[2 * i]);
}

}  // namespace ambrelic::fat
