// What the medium could not give during one command. A failed read is read
// again in halves down to single sectors: every sector that reads is kept,
// only the ones that do not are zero-filled, counted and named to the
// caller. A run of failures makes the reads skip ahead in growing steps, so
// a dead area costs a few reads instead of one per sector, and a device
// that fails everything (gone: ENODEV, ENXIO, ENOMEDIUM, ENOTCONN; or
// failing for a long stretch without one good read) is given up: every
// later read gives zeros at once, and the command that sees it ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

namespace ambrelic::disk {

// Parts of one read's buffer that hold zeros because the medium could not
// deliver them: byte offsets from the buffer's start, ascending, merged.
class ReadGaps {
 public:
  struct Range {
    std::size_t offset = 0;
    std::size_t length = 0;
  };
  void Add(std::size_t offset, std::size_t length);
  // Adds the ranges of other, moved by shift bytes.
  void Append(const ReadGaps& other, std::size_t shift);
  bool empty() const { return ranges_.empty(); }
  void clear() { ranges_.clear(); }
  // True when any byte of [offset, offset + length) is in a gap.
  bool Overlaps(std::size_t offset, std::size_t length) const;
  const std::vector<Range>& ranges() const { return ranges_; }

 private:
  std::vector<Range> ranges_;
};

class MediaErrors {
 public:
  struct Limits {
    // Sectors failing one after the other before the reads start skipping.
    std::uint32_t failuresBeforeSkipping = 32;
    // The first skip, in sectors; each further failure doubles it, up to
    // the cap. A skip never reaches past the read it happens in.
    std::uint64_t firstSkipSectors = 32;
    std::uint64_t maxSkipSectors = std::uint64_t{1} << 21;
    // Bytes found unreadable in a row (failed or skipped, without one good
    // read between them) after which the device is taken as gone.
    std::uint64_t giveUpBytes = std::uint64_t{64} << 20;
  };

  MediaErrors() = default;
  explicit MediaErrors(const Limits& limits) : limits_(limits) {}

  // One transfer from the device: reads out.size() bytes at a byte offset
  // into out and returns 0, or the errno of the failure (bytes it could
  // not deliver are zeros). Bytes past the device's end are zeros and no
  // failure.
  using RawRead = std::function<int(std::uint64_t offset, std::span<std::uint8_t> out)>;

  // Reads out.size() bytes at offset (a device byte offset; the read is
  // made of whole sectors of sectorSize bytes) with raw. A healthy read is
  // one call of raw. True when every sector was read; otherwise the
  // sectors that could not be read are zeros in out and, when gaps is
  // given, named in it.
  bool Read(std::uint64_t offset, std::span<std::uint8_t> out, std::uint32_t sectorSize, const RawRead& raw,
            ReadGaps* gaps);

  // Distinct bytes that could not be read (failed or skipped) so far,
  // less those recovered from a copy.
  std::uint64_t UnreadableBytes() const { return unreadableBytes_ - recoveredBytes_; }
  // The same in sectors of the given size (a part of one counts whole).
  std::uint64_t UnreadableSectors(std::uint32_t sectorSize) const;
  // Grows every time a read delivers zeros for sectors it could not read
  // (also the same ones again, and after the device was given up): a
  // caller compares it before and after its reads to know whether they
  // lost anything.
  std::uint64_t Events() const { return events_; }
  // Bytes of [offset, offset + length) that could not be read but were
  // taken from a copy the volume keeps (the next allocation table,
  // $MFTMirr, the boot sector's backup): nothing they held is missing, so
  // they leave the count; they are still never asked for again.
  void Recovered(std::uint64_t offset, std::uint64_t length);
  // The device was given up; the errno that decided it.
  bool Abandoned() const { return abandoned_; }
  int AbandonError() const { return abandonError_; }
  // True when [offset, offset + length) holds a sector a read found
  // unreadable (skipped ones included).
  bool KnownUnreadable(std::uint64_t offset, std::uint64_t length) const;

 private:
  struct Request;
  void Salvage(Request& r, bool wholeTried, int wholeError);
  void MarkFailed(Request& r, std::uint64_t begin, std::uint64_t end, int error);
  void MarkSkipped(Request& r, std::uint64_t begin, std::uint64_t end);
  void MarkKnown(Request& r, std::uint64_t begin, std::uint64_t end);
  void ResolveSkip(Request& r, bool goodReadFollows);
  void Zero(Request& r, std::uint64_t begin, std::uint64_t end);
  void NoteGood();
  void Abandon(int error);
  void AddUnreadable(std::uint64_t begin, std::uint64_t end);

  Limits limits_;
  // Sectors that failed when read: never asked for again in this command.
  std::map<std::uint64_t, std::uint64_t> failed_;      // begin -> end
  // Failed and skipped sectors, for the count.
  std::map<std::uint64_t, std::uint64_t> unreadable_;  // begin -> end
  std::uint64_t unreadableBytes_ = 0;
  // Unreadable bytes taken from a copy.
  std::map<std::uint64_t, std::uint64_t> recovered_;  // begin -> end
  std::uint64_t recoveredBytes_ = 0;
  std::uint64_t events_ = 0;
  std::uint32_t failRun_ = 0;
  std::uint64_t skipSectors_ = 0;  // next skip, 0 until skipping starts
  std::uint64_t badStretch_ = 0;   // bytes unreadable since the last good read
  bool abandoned_ = false;
  int abandonError_ = 0;
};

// True for the errors that say the medium is gone, not that a sector failed.
bool IsDeviceGoneError(int error);

}  // namespace ambrelic::disk
