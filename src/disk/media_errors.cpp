#include "disk/media_errors.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <optional>

namespace ambrelic::disk {
namespace {

using RangeMap = std::map<std::uint64_t, std::uint64_t>;

// Adds [begin, end) to a map of disjoint ranges, merging neighbours;
// returns the bytes it did not hold before.
std::uint64_t Insert(RangeMap& map, std::uint64_t begin, std::uint64_t end) {
  if (begin >= end) return 0;
  std::uint64_t covered = 0;  // bytes of [begin, end) already in the map
  auto it = map.upper_bound(begin);
  if (it != map.begin()) {
    auto prev = std::prev(it);
    if (prev->second >= begin) it = prev;
  }
  std::uint64_t newBegin = begin;
  std::uint64_t newEnd = end;
  while (it != map.end() && it->first <= end) {
    const std::uint64_t b = std::max(it->first, begin);
    const std::uint64_t e = std::min(it->second, end);
    if (e > b) covered += e - b;
    newBegin = std::min(newBegin, it->first);
    newEnd = std::max(newEnd, it->second);
    it = map.erase(it);
  }
  map.emplace(newBegin, newEnd);
  return (end - begin) - covered;
}

// The first range of the map that overlaps [begin, end), clipped to it.
std::optional<std::pair<std::uint64_t, std::uint64_t>> FirstIn(const RangeMap& map, std::uint64_t begin,
                                                               std::uint64_t end) {
  auto it = map.upper_bound(begin);
  if (it != map.begin()) {
    auto prev = std::prev(it);
    if (prev->second > begin) return std::make_pair(begin, std::min(prev->second, end));
  }
  if (it != map.end() && it->first < end) return std::make_pair(it->first, std::min(it->second, end));
  return std::nullopt;
}

}  // namespace

// ENOTCONN: the server of a FUSE-served image (or a network block device)
// went away; nothing will read again.
bool IsDeviceGoneError(int error) {
  return error == ENODEV || error == ENXIO || error == ENOMEDIUM || error == ENOTCONN;
}

void ReadGaps::Add(std::size_t offset, std::size_t length) {
  if (length == 0) return;
  if (ranges_.empty() || offset > ranges_.back().offset + ranges_.back().length) {
    ranges_.push_back({offset, length});
    return;
  }
  // Out of order or touching: insert, then merge what overlaps or touches.
  ranges_.push_back({offset, length});
  std::sort(ranges_.begin(), ranges_.end(), [](const Range& a, const Range& b) { return a.offset < b.offset; });
  std::vector<Range> merged;
  for (const Range& r : ranges_) {
    if (!merged.empty() && r.offset <= merged.back().offset + merged.back().length) {
      const std::size_t end = std::max(merged.back().offset + merged.back().length, r.offset + r.length);
      merged.back().length = end - merged.back().offset;
    } else {
      merged.push_back(r);
    }
  }
  ranges_.swap(merged);
}

void ReadGaps::Append(const ReadGaps& other, std::size_t shift) {
  for (const Range& r : other.ranges_) Add(r.offset + shift, r.length);
}

bool ReadGaps::Overlaps(std::size_t offset, std::size_t length) const {
  for (const Range& r : ranges_) {
    if (r.offset < offset + length && offset < r.offset + r.length) return true;
  }
  return false;
}

// One call of Read: the caller's buffer and where it lies on the device,
// and a skip that waits to be settled.
struct MediaErrors::Request {
  std::uint64_t base = 0;  // device offset of out[0]
  std::span<std::uint8_t> out;
  std::uint64_t sectorSize = 1;
  const RawRead* raw = nullptr;
  ReadGaps* gaps = nullptr;
  bool lost = false;
  // Sectors passed over without a read: [skipFrom, skipTo).
  bool skipPending = false;
  std::uint64_t skipFrom = 0;
  std::uint64_t skipTo = 0;

  std::uint64_t end() const { return base + out.size(); }
  int Transfer(std::uint64_t begin, std::uint64_t stop) const {
    return (*raw)(begin, out.subspan(static_cast<std::size_t>(begin - base), static_cast<std::size_t>(stop - begin)));
  }
};

std::uint64_t MediaErrors::UnreadableSectors(std::uint32_t sectorSize) const {
  const std::uint64_t bytes = UnreadableBytes();
  if (sectorSize == 0) return bytes;
  return (bytes + sectorSize - 1) / sectorSize;
}

void MediaErrors::Recovered(std::uint64_t offset, std::uint64_t length) {
  const std::uint64_t end = length > ~std::uint64_t{0} - offset ? ~std::uint64_t{0} : offset + length;
  // Only what was found unreadable can be recovered.
  for (std::uint64_t at = offset; at < end;) {
    const auto piece = FirstIn(unreadable_, at, end);
    if (!piece) break;
    recoveredBytes_ += Insert(recovered_, piece->first, piece->second);
    at = piece->second;
  }
}

bool MediaErrors::KnownUnreadable(std::uint64_t offset, std::uint64_t length) const {
  return length != 0 && FirstIn(unreadable_, offset, offset + length).has_value();
}

bool MediaErrors::Read(std::uint64_t offset, std::span<std::uint8_t> out, std::uint32_t sectorSize,
                       const RawRead& raw, ReadGaps* gaps) {
  if (out.empty()) return true;
  Request r;
  r.base = offset;
  r.out = out;
  r.sectorSize = std::max<std::uint32_t>(sectorSize, 1);
  r.raw = &raw;
  r.gaps = gaps;
  if (abandoned_) {
    Zero(r, r.base, r.end());
  } else if (!FirstIn(failed_, r.base, r.end()) && failRun_ < limits_.failuresBeforeSkipping) {
    // The healthy path: one transfer of the whole read.
    const int error = r.Transfer(r.base, r.end());
    if (error == 0) {
      NoteGood();
      return true;
    }
    if (IsDeviceGoneError(error)) {
      MarkFailed(r, r.base, r.end(), error);
    } else {
      Salvage(r, true, error);
    }
  } else {
    Salvage(r, false, 0);
  }
  if (r.lost) ++events_;
  return !r.lost;
}

void MediaErrors::Salvage(Request& r, bool wholeTried, int wholeError) {
  struct Piece {
    std::uint64_t begin;
    std::uint64_t end;
    bool tried;  // read as a whole already, and failed with error
    int error;
  };
  const std::uint64_t ss = r.sectorSize;
  // Pieces in ascending order: the next one is at the back.
  std::vector<Piece> pending{{r.base, r.end(), wholeTried, wholeError}};
  while (!pending.empty()) {
    Piece p = pending.back();
    pending.pop_back();
    if (r.skipPending && p.begin >= r.skipFrom && p.begin < r.skipTo) {
      p.begin = std::min(p.end, r.skipTo);
      p.tried = false;
    }
    if (p.begin >= p.end) continue;
    if (abandoned_) {
      ResolveSkip(r, false);
      Zero(r, p.begin, p.end);
      continue;
    }
    // A sector that failed before is not asked for again.
    if (const auto known = FirstIn(failed_, p.begin, p.end)) {
      if (known->first > p.begin) {
        pending.push_back({known->first, p.end, false, 0});
        pending.push_back({p.begin, known->first, false, 0});
      } else {
        MarkKnown(r, known->first, known->second);
        pending.push_back({known->second, p.end, false, 0});
      }
      continue;
    }
    if (failRun_ >= limits_.failuresBeforeSkipping) {
      // Within a run of failures each step costs one sector's read: it
      // either ends the run or makes the next skip longer.
      const std::uint64_t one = std::min(p.end, p.begin + ss);
      const int error = r.Transfer(p.begin, one);
      if (error == 0) {
        NoteGood();
        ResolveSkip(r, true);
      } else {
        MarkFailed(r, p.begin, one, error);
      }
      pending.push_back({one, p.end, false, 0});
      continue;
    }
    if (!p.tried) {
      const int error = r.Transfer(p.begin, p.end);
      if (error == 0) {
        NoteGood();
        ResolveSkip(r, true);
        continue;
      }
      if (IsDeviceGoneError(error)) {
        MarkFailed(r, p.begin, p.end, error);
        continue;
      }
      p.tried = true;
      p.error = error;
    }
    if (p.end - p.begin <= ss) {
      MarkFailed(r, p.begin, p.end, p.error);
      continue;
    }
    const std::uint64_t sectors = (p.end - p.begin + ss - 1) / ss;
    const std::uint64_t mid = p.begin + sectors / 2 * ss;
    pending.push_back({mid, p.end, false, 0});
    pending.push_back({p.begin, mid, false, 0});
  }
  ResolveSkip(r, false);
}

void MediaErrors::MarkFailed(Request& r, std::uint64_t begin, std::uint64_t end, int error) {
  // A failure right after sectors passed over: the dead area went on
  // through them, so they stay unread.
  ResolveSkip(r, false);
  Insert(failed_, begin, end);
  AddUnreadable(begin, end);
  Zero(r, begin, end);
  ++failRun_;
  if (IsDeviceGoneError(error)) {
    Abandon(error);
    return;
  }
  if (abandoned_ || failRun_ < limits_.failuresBeforeSkipping) return;
  if (skipSectors_ == 0) skipSectors_ = std::max<std::uint64_t>(limits_.firstSkipSectors, 1);
  const std::uint64_t room = (r.end() - end) / r.sectorSize;
  const std::uint64_t skip = std::min(skipSectors_, room);
  if (skip > 0) {
    r.skipPending = true;
    r.skipFrom = end;
    r.skipTo = std::min(r.end(), end + skip * r.sectorSize);
  }
  skipSectors_ = std::min(skipSectors_ * 2, std::max<std::uint64_t>(limits_.maxSkipSectors, 1));
}

void MediaErrors::MarkSkipped(Request& r, std::uint64_t begin, std::uint64_t end) {
  AddUnreadable(begin, end);
  Zero(r, begin, end);
}

void MediaErrors::MarkKnown(Request& r, std::uint64_t begin, std::uint64_t end) {
  ResolveSkip(r, false);
  Zero(r, begin, end);
}

void MediaErrors::ResolveSkip(Request& r, bool goodReadFollows) {
  if (!r.skipPending) return;
  r.skipPending = false;
  const std::uint64_t from = r.skipFrom;
  std::uint64_t to = r.skipTo;
  if (goodReadFollows && !abandoned_) {
    // The read right after the skipped sectors worked: the dead area ended
    // somewhere among them. Read them back from that end, in growing
    // pieces, until a sector fails: what lies after it is kept.
    const std::uint64_t ss = r.sectorSize;
    std::uint64_t chunk = ss;
    while (to > from) {
      const std::uint64_t lo = to - from > chunk ? to - chunk : from;
      const int error = r.Transfer(lo, to);
      if (error == 0) {
        to = lo;
        chunk *= 2;
        continue;
      }
      if (to - lo > ss && !IsDeviceGoneError(error)) {
        chunk = ss;
        continue;
      }
      Insert(failed_, lo, to);
      AddUnreadable(lo, to);
      Zero(r, lo, to);
      if (IsDeviceGoneError(error)) Abandon(error);
      to = lo;
      break;
    }
  }
  if (to > from) MarkSkipped(r, from, to);
}

void MediaErrors::Zero(Request& r, std::uint64_t begin, std::uint64_t end) {
  if (end <= begin) return;
  const auto at = static_cast<std::size_t>(begin - r.base);
  const auto n = static_cast<std::size_t>(end - begin);
  std::memset(r.out.data() + at, 0, n);
  if (r.gaps) r.gaps->Add(at, n);
  r.lost = true;
}

void MediaErrors::NoteGood() {
  failRun_ = 0;
  skipSectors_ = 0;
  badStretch_ = 0;
}

void MediaErrors::Abandon(int error) {
  if (abandoned_) return;
  abandoned_ = true;
  abandonError_ = error != 0 ? error : EIO;
}

void MediaErrors::AddUnreadable(std::uint64_t begin, std::uint64_t end) {
  unreadableBytes_ += Insert(unreadable_, begin, end);
  badStretch_ += end - begin;
  if (badStretch_ >= limits_.giveUpBytes) Abandon(EIO);
}

}  // namespace ambrelic::disk
