#include "carve/scanner.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "carve/formats/families.h"
#include "carve/formats/jpeg_scan.h"
#include "carve/formats/reader.h"
#include "disk/sector_device.h"
#include "disk/text_format.h"

namespace ambrelic::carve {
namespace {

// The pass reads blocks of this many bytes: large enough that the device
// streams, small enough that a few stay cached for the parsers, which read
// a little ahead of the pass and sometimes back.
constexpr std::uint64_t kBlockBytes = 4u << 20;
constexpr std::size_t kCachedBlocks = 4;
// Blocks looked at in memory, which are not copied, are larger: each one
// given up costs the other threads' processors a flush of their address
// caches.
constexpr std::uint64_t kViewBlockBytes = 16u << 20;
// Progress is told every this many units at most (each report pumps the
// window's events).
constexpr std::uint64_t kProgressUnits = 2048;
// How far ahead of the pass the first bytes of a unit are fetched.
constexpr std::uint64_t kPrefetchUnits = 8;
// A photo that stops decoding: how many places its gap is guessed at from
// its bytes, and how many continuations are decoded at most.
constexpr std::size_t kMaxGapGuesses = 8;
constexpr std::size_t kMaxDecodeTries = 48;
// Photos whose codes are still being checked while the pass goes on: at
// most this many, holding at most this many bytes of copies.
constexpr std::size_t kMaxPendingChecks = 256;
constexpr std::uint64_t kMaxPendingBytes = 96u << 20;
// Copies of checked photos kept for the next ones.
constexpr std::size_t kSpareBuffers = 32;

}  // namespace

// Blocks of consecutive units, read whole (from the first open unit to the
// last one in the block) and kept while they are used. Where the device
// holds a block in memory already, the block is looked at there rather
// than copied out: on a cached image the copy alone took as long as a
// sequential read does.
class UnitReader {
 public:
  UnitReader(const disk::VolumeContext& ctx, const ScanArea& area)
      : ctx_(ctx), area_(area), unitBytes_(area.UnitBytes()) {
    const std::uint64_t unit = std::max<std::uint64_t>(1, unitBytes_);
    blockUnits_ = std::max<std::uint64_t>(1, kBlockBytes / unit);
    // A volume whose start is in memory is most likely in memory whole.
    const std::uint64_t viewUnits = std::max<std::uint64_t>(1, kViewBlockBytes / unit);
    const std::uint64_t probe = std::min(viewUnits, area_.unitCount);
    if (probe * unitBytes_ > kBlockBytes &&
        disk::ViewSectors(ctx_, area_.baseSector, static_cast<std::uint32_t>(probe * area_.sectorsPerUnit))) {
      blockUnits_ = viewUnits;
    }
  }

  // The bytes of unit u (zeros for an open unit that could not be read;
  // what a unit that is not open holds is not said); valid until the next
  // call.
  const std::uint8_t* Unit(std::uint64_t u) {
    const std::uint64_t index = (u - area_.firstUnit) / blockUnits_;
    Block& b = Load(index);
    return b.data + (u - area_.firstUnit - index * blockUnits_) * unitBytes_;
  }

  // The bytes of unit u when its block is held already, else null (and
  // nothing is read).
  const std::uint8_t* Held(std::uint64_t u) const {
    if (u >= area_.EndUnit()) return nullptr;
    const std::uint64_t index = (u - area_.firstUnit) / blockUnits_;
    for (const Block& b : blocks_) {
      if (b.index == index) return b.data + (u - area_.firstUnit - index * blockUnits_) * unitBytes_;
    }
    return nullptr;
  }

  // Blocks looked at in memory whose pages failed meanwhile are read again,
  // so that the command's record of unreadable sectors has them.
  void Settle() {
    for (Block& b : blocks_) Confirm(b);
  }

  // The bytes of units [u, u + count) where they lie in memory, with the
  // view that holds them (kept by the caller as long as it looks at
  // them), when one held block is a view of them all; else null.
  std::shared_ptr<const platform::ResidentBytes> ViewOf(std::uint64_t u, std::uint64_t count,
                                                        const std::uint8_t*& data) const {
    if (count == 0 || u < area_.firstUnit || u + count > area_.EndUnit()) return nullptr;
    const std::uint64_t index = (u - area_.firstUnit) / blockUnits_;
    if ((u + count - 1 - area_.firstUnit) / blockUnits_ != index) return nullptr;
    for (const Block& b : blocks_) {
      if (b.index != index || !b.view) continue;
      data = b.data + (u - area_.firstUnit - index * blockUnits_) * unitBytes_;
      return b.view->Spoiled(data, count * unitBytes_) ? nullptr : b.view;
    }
    return nullptr;
  }

  std::uint64_t bytesRead() const { return bytesRead_; }

 private:
  struct Block {
    std::uint64_t index = ~std::uint64_t{0};
    std::uint64_t lastUse = 0;
    std::vector<std::uint8_t> bytes;
    std::shared_ptr<const platform::ResidentBytes> view;
    const std::uint8_t* data = nullptr;  // the view's bytes, or bytes'
    std::uint64_t counted = 0;           // its part of bytesRead_
  };

  Block& Load(std::uint64_t index) {
    ++clock_;
    Block* oldest = &blocks_[0];
    for (Block& b : blocks_) {
      if (b.index == index) {
        b.lastUse = clock_;
        Confirm(b);
        return b;
      }
      if (b.lastUse < oldest->lastUse) oldest = &b;
    }
    Block& b = *oldest;
    Confirm(b);
    b.index = index;
    b.lastUse = clock_;
    Fill(b);
    return b;
  }

  void Fill(Block& b) {
    b.view.reset();
    b.counted = 0;
    const std::uint64_t first = area_.firstUnit + b.index * blockUnits_;
    const std::uint64_t end = std::min(first + blockUnits_, area_.EndUnit());
    // Only the span from the first to the last open unit is read: live data
    // around it is never needed.
    std::uint64_t lo = first, hi = end;
    if (area_.open) {
      while (lo < end && !area_.open->Test(lo)) ++lo;
      while (hi > lo && !area_.open->Test(hi - 1)) --hi;
    }
    if (lo < hi && !disk::DeviceAbandoned(ctx_)) {
      const std::uint64_t sector = area_.baseSector + (first - area_.firstUnit) * area_.sectorsPerUnit;
      b.view = disk::ViewSectors(ctx_, sector, static_cast<std::uint32_t>((end - first) * area_.sectorsPerUnit));
      if (b.view) {
        b.data = b.view->data();
        b.counted = (hi - lo) * unitBytes_;
        bytesRead_ += b.counted;
        return;
      }
    }
    b.bytes.resize(blockUnits_ * unitBytes_);
    b.data = b.bytes.data();
    // The read zero-fills what it cannot deliver; only the units around
    // it are cleared here (a block of the pass is 4 MiB: clearing it whole
    // before every read cost as much as a tenth of the scan).
    if (lo >= hi || disk::DeviceAbandoned(ctx_)) {
      lo = hi = end;
    } else {
      const std::uint64_t sector = area_.baseSector + (lo - area_.firstUnit) * area_.sectorsPerUnit;
      const std::uint64_t count = (hi - lo) * area_.sectorsPerUnit;
      disk::ReadSectors(ctx_, sector, static_cast<std::uint32_t>(count), b.bytes.data() + (lo - first) * unitBytes_);
      b.counted = (hi - lo) * unitBytes_;
      bytesRead_ += b.counted;
    }
    std::fill(b.bytes.begin(), b.bytes.begin() + static_cast<std::ptrdiff_t>((lo - first) * unitBytes_), 0);
    std::fill(b.bytes.begin() + static_cast<std::ptrdiff_t>((hi - first) * unitBytes_), b.bytes.end(), 0);
  }

  // A view whose pages failed is replaced by a read of the same block. The
  // pass saw zeros where pages failed, which is what the read gives for
  // sectors it cannot deliver; the read records them.
  void Confirm(Block& b) {
    if (!b.view || !b.view->Spoiled()) return;
    bytesRead_ -= b.counted;
    Fill(b);
  }

  const disk::VolumeContext& ctx_;
  const ScanArea& area_;
  std::uint64_t unitBytes_;
  std::uint64_t blockUnits_ = 1;
  std::array<Block, kCachedBlocks> blocks_;
  std::uint64_t clock_ = 0;
  std::uint64_t bytesRead_ = 0;
};

namespace {

// Units of fragmented files found already, which the pass has not reached
// yet: no other file may start in them or run through them. Few.
class Reserved {
 public:
  bool Has(std::uint64_t u) const {
    for (const UnitRun& r : runs_) {
      if (u >= r.first && u - r.first < r.count) return true;
    }
    return false;
  }
  void Add(const std::vector<UnitRun>& runs) { runs_.insert(runs_.end(), runs.begin(), runs.end()); }
  bool empty() const { return runs_.empty(); }
  std::size_t size() const { return runs_.size(); }
  void Truncate(std::size_t n) { runs_.resize(std::min(n, runs_.size())); }

 private:
  std::vector<UnitRun> runs_;
};

// The file that would start at unit `start`: the open units from there on,
// laid end to end; with a gap, the units [start, start + keep) then the
// open units from the `gap`-th open unit after those on.
class OpenUnitsSource final : public ByteSource {
 public:
  OpenUnitsSource(UnitReader& reader, const ScanArea& area, const Reserved& reserved, std::uint64_t start,
                  std::uint64_t size)
      : reader_(reader), area_(area), reserved_(reserved), unitBytes_(area.UnitBytes()), size_(size), next_(start) {}

  // A copy of this source's first `keepUnits` units, then open units again
  // from the `skip`-th open unit after them.
  OpenUnitsSource WithGap(std::uint64_t keepUnits, std::uint64_t skip) {
    OpenUnitsSource s(reader_, area_, reserved_, 0, 0);
    Map(keepUnits);  // makes sure the units to keep are known
    std::uint64_t taken = 0;
    for (const UnitRun& r : runs_) {
      if (taken >= keepUnits) break;
      const std::uint64_t n = std::min(r.count, keepUnits - taken);
      s.Append(r.first, n);
      taken += n;
    }
    // The unit after the kept ones, then `skip` open units passed over.
    std::uint64_t u = s.runs_.empty() ? next_ : s.runs_.back().first + s.runs_.back().count;
    for (std::uint64_t passed = 0; u < area_.EndUnit();) {
      if (Usable(u)) {
        if (passed == skip) break;
        ++passed;
      }
      ++u;
    }
    s.next_ = u;
    s.size_ = size_ > skip * unitBytes_ ? size_ - skip * unitBytes_ : taken * unitBytes_;
    return s;
  }

  std::uint64_t Size() const override { return size_; }

  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override {
    if (offset >= size_) return 0;
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), size_ - offset));
    std::size_t done = 0;
    while (done < want) {
      const std::uint64_t at = offset + done;
      const std::uint64_t k = at / unitBytes_;
      std::uint64_t unit = 0;
      if (!Map(k + 1) || !UnitOf(k, unit)) break;
      const std::uint64_t inUnit = at % unitBytes_;
      const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want - done, unitBytes_ - inUnit));
      std::memcpy(out.data() + done, reader_.Unit(unit) + inUnit, n);
      done += n;
    }
    return done;
  }

  // The runs holding the first `bytes` bytes.
  std::vector<UnitRun> RunsFor(std::uint64_t bytes) {
    const std::uint64_t units = (bytes + unitBytes_ - 1) / unitBytes_;
    Map(units);
    std::vector<UnitRun> out;
    std::uint64_t taken = 0;
    for (const UnitRun& r : runs_) {
      if (taken >= units) break;
      const std::uint64_t n = std::min(r.count, units - taken);
      out.push_back({r.first, n});
      taken += n;
    }
    return out;
  }

  // The unit holding byte `offset` of the file, when mapped.
  bool UnitAt(std::uint64_t offset, std::uint64_t& unit) {
    const std::uint64_t k = offset / unitBytes_;
    return Map(k + 1) && UnitOf(k, unit);
  }

 private:
  void Append(std::uint64_t unit, std::uint64_t count) {
    if (!runs_.empty() && runs_.back().first + runs_.back().count == unit) {
      runs_.back().count += count;
    } else {
      starts_.push_back(mapped_);
      runs_.push_back({unit, count});
    }
    mapped_ += count;
  }

  bool Usable(std::uint64_t u) const { return area_.IsOpen(u) && (reserved_.empty() || !reserved_.Has(u)); }

  // Makes sure the first `units` units of the file are known; false when
  // the area ends first.
  bool Map(std::uint64_t units) {
    while (mapped_ < units) {
      if (!area_.open && reserved_.empty()) {
        if (next_ >= area_.EndUnit()) return false;
        const std::uint64_t n = std::min(units - mapped_, area_.EndUnit() - next_);
        Append(next_, n);
        next_ += n;
        continue;
      }
      while (next_ < area_.EndUnit() && !Usable(next_)) ++next_;
      if (next_ >= area_.EndUnit()) return false;
      Append(next_++, 1);
    }
    return true;
  }

  bool UnitOf(std::uint64_t k, std::uint64_t& unit) const {
    if (k >= mapped_) return false;
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), k);
    const std::size_t i = static_cast<std::size_t>(it - starts_.begin()) - 1;
    unit = runs_[i].first + (k - starts_[i]);
    return true;
  }

  UnitReader& reader_;
  const ScanArea& area_;
  const Reserved& reserved_;
  std::uint64_t unitBytes_;
  std::uint64_t size_;
  std::uint64_t next_;          // the next unit to look at when mapping more
  std::vector<UnitRun> runs_;   // the file's units so far
  std::vector<std::uint64_t> starts_;
  std::uint64_t mapped_ = 0;
};

bool IsJpeg(const Format& f) { return f.type == "jpg"; }

// The quick check of photos' codes (most of a scan's work on a card of
// photos) on a thread of its own, while the pass reads on: each photo's
// bytes are copied for it, and the checks are made in the order given.
class CodeChecker {
 public:
  struct Job {
    // The photo's first `length` bytes: where the pass looks at them in
    // memory (the view kept until the check is made), or a copy.
    std::shared_ptr<const platform::ResidentBytes> view;
    const std::uint8_t* data = nullptr;
    std::vector<std::uint8_t> bytes;
    std::size_t length = 0;
    std::uint64_t end = 0;
    // 0 while unchecked, then 1 (whole) or 2 (unsure).
    std::atomic<int> verdict{0};
    std::atomic<bool> dropped{false};
  };

  CodeChecker() {
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to be had: each check is made when it is handed over.
    }
  }
  ~CodeChecker() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    if (thread_.joinable()) thread_.join();
  }

  void Submit(const std::shared_ptr<Job>& job) {
    if (!thread_.joinable()) {
      Check(*job, nullptr);
      return;
    }
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(job);
    }
    wake_.notify_all();
  }

  // The job's verdict, waiting for it: meanwhile the caller checks the
  // latest jobs not yet started itself (the checker's thread takes the
  // oldest), so that a backlog left at the pass's end is worked off on
  // both cores.
  int Wait(Job& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      if (const int v = job.verdict.load(std::memory_order_acquire); v != 0) return v;
      if (queue_.empty()) {
        done_.wait(lock);
        continue;
      }
      CheckTaken(lock, true);
    }
  }

  // Room for a photo's copy: a buffer of a job that is done, which is
  // in the cache and mapped already, when there is one.
  std::vector<std::uint8_t> Buffer(std::size_t length) {
    std::vector<std::uint8_t> b;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (!spare_.empty()) {
        b = std::move(spare_.back());
        spare_.pop_back();
      }
    }
    if (b.size() < length) b.resize(length);
    return b;
  }

 private:
  // One job, or two walked side by side (faster than one after the other).
  void Check(Job& one, Job* two) {
    auto live = [](const Job* job) { return job && !job->dropped.load(std::memory_order_relaxed); };
    formats::ScanCheck first = formats::ScanCheck::Unsure, second = formats::ScanCheck::Unsure;
    MemorySource sourceOne(std::span<const std::uint8_t>(one.data, one.length));
    MemorySource sourceTwo(two ? std::span<const std::uint8_t>(two->data, two->length) : std::span<const std::uint8_t>());
    formats::Reader readerOne(sourceOne, Limits{}), readerTwo(sourceTwo, Limits{});
    if (live(&one) && live(two)) {
      formats::CheckJpegScans(readerOne, one.end, readerTwo, two->end, first, second);
    } else if (live(&one)) {
      first = formats::CheckJpegScan(readerOne, one.end);
    } else if (live(two)) {
      second = formats::CheckJpegScan(readerTwo, two->end);
    }
    Finish(one, first);
    if (two) Finish(*two, second);
  }

  void Finish(Job& job, formats::ScanCheck verdict) {
    // A page of the view that failed while the codes were walked read as
    // zeros: the photo is decoded again where it stands, from a read.
    if (job.view && job.view->Spoiled(job.data, job.length)) verdict = formats::ScanCheck::Unsure;
    job.view.reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (spare_.size() < kSpareBuffers && !job.bytes.empty()) spare_.push_back(std::move(job.bytes));
    }
    std::vector<std::uint8_t>().swap(job.bytes);
    job.verdict.store(verdict == formats::ScanCheck::Whole ? 1 : 2, std::memory_order_release);
  }

  // Takes a job from the queue and, when there is another, a second, the
  // newest ones or the oldest, and checks them with the lock released.
  void CheckTaken(std::unique_lock<std::mutex>& lock, bool newest) {
    auto take = [&] {
      std::shared_ptr<Job> job;
      if (newest) {
        job = std::move(queue_.back());
        queue_.pop_back();
      } else {
        job = std::move(queue_.front());
        queue_.pop_front();
      }
      return job;
    };
    const std::shared_ptr<Job> one = take();
    const std::shared_ptr<Job> two = queue_.empty() ? nullptr : take();
    lock.unlock();
    Check(*one, two.get());
    lock.lock();
  }

  void Run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
      if (queue_.empty()) return;
      CheckTaken(lock, false);
      done_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, done_;
  std::deque<std::shared_ptr<Job>> queue_;
  std::vector<std::vector<std::uint8_t>> spare_;
  bool stop_ = false;
  std::thread thread_;
};

// Entropy-coded JPEG data holds 0xFF only before 0x00, a restart marker or
// the end of the image: a unit with any other marker cannot continue a scan.
bool CouldContinueJpeg(const std::uint8_t* unit, std::uint64_t bytes) {
  for (std::uint64_t i = 0; i + 1 < bytes; ++i) {
    if (unit[i] != 0xFF) continue;
    const std::uint8_t m = unit[i + 1];
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0xFF) continue;
    return m == 0xD9;
  }
  return true;
}

// Bytes that cannot be, or are most unlikely to be, a JPEG's compressed
// data: a marker that cannot stand there, or few distinct byte values (text,
// zeros, fill, tables).
bool UnlikeScanData(const std::uint8_t* unit, std::uint64_t bytes) {
  if (!CouldContinueJpeg(unit, bytes)) return true;
  std::array<bool, 256> seen{};
  unsigned distinct = 0;
  for (std::uint64_t i = 0; i < bytes; ++i) {
    if (!seen[unit[i]]) {
      seen[unit[i]] = true;
      ++distinct;
    }
  }
  return distinct < (bytes >= 1024 ? 96u : 48u);
}

}  // namespace

bool TypeWanted(const std::vector<std::string>& types, const Format& format) {
  if (types.empty()) return true;
  for (const std::string& t : types) {
    const Format* f = FormatForExtension(t);
    if (t == format.type || (f && f->type == format.type)) return true;
  }
  return false;
}

bool ExtensionWanted(const std::vector<std::string>& types, const Format& format, const std::string& extension) {
  if (types.empty()) return true;
  for (std::string t : types) {
    // Other spellings of a family's own type.
    if (t == "jpeg" || t == "jpe") t = "jpg";
    if (t == "tif") t = "tiff";
    if (t == format.type || t == extension) return true;
  }
  return false;
}

std::string CarvedName(const CarvedFile& file) {
  std::string name;
  if (!file.parsed.nameHint.empty()) {
    name = file.parsed.nameHint;
  } else {
    name = "f";
    disk::AppendDecimal(name, file.firstUnit, 7);
  }
  if (!file.parsed.extension.empty()) name += "." + file.parsed.extension;
  return name;
}

ScanResult ScanUnits(const disk::VolumeContext& ctx, const ScanArea& area, const ScanOptions& options,
                     disk::ProgressSink* progress, const std::function<void(CarvedFile)>& found) {
  ScanResult result;
  const std::uint64_t unitBytes = area.UnitBytes();
  if (area.unitCount == 0 || unitBytes == 0) return result;
  UnitReader reader(ctx, area);
  std::vector<const Format*> formats;
  for (const Format& f : Formats()) {
    if (TypeWanted(options.types, f)) formats.push_back(&f);
  }
  if (progress) {
    progress->BeginCount(options.countLabel, area.unitCount);
    progress->ShowFileLabel();
  }
  // Open units from the cursor to the end: what a file starting at the
  // cursor may hold at most.
  std::uint64_t openLeft = area.open ? area.open->CountRange(area.firstUnit, area.unitCount) : area.unitCount;
  std::uint64_t nextReport = area.firstUnit;
  std::array<std::uint8_t, 64> head{};
  Reserved reserved;

  // A photo that comes out whole if its codes check out is taken as whole
  // at once, and its codes checked on the checker's thread while the pass
  // goes on. The files found after it are held back until it is known; a
  // photo whose check is unsure takes the pass back to where it was found,
  // with everything found since, and is decoded there as it would have
  // been without the checker. The rows, their order and their units are
  // the same either way.
  struct Pending {
    std::shared_ptr<CodeChecker::Job> job;
    // The pass as it stood when the photo was found.
    std::uint64_t unit = 0, openLeft = 0, files = 0, fragmented = 0, held = 0;
    std::size_t reserved = 0;
  };
  std::unique_ptr<CodeChecker> checker;
  std::deque<Pending> pending;
  std::uint64_t pendingBytes = 0;
  std::deque<CarvedFile> held;  // found behind a pending photo, in order
  std::uint64_t told = 0;       // files handed to `found` so far
  std::uint64_t decodeAt = ~std::uint64_t{0};  // a photo to decode, its check unsure
  std::uint64_t reported = 0;
  auto tell = [&](std::uint64_t upTo) {
    while (told < upTo && !held.empty()) {
      found(std::move(held.front()));
      held.pop_front();
      ++told;
    }
  };
  auto dropPending = [&] {
    for (Pending& p : pending) p.job->dropped = true;
    pending.clear();
    pendingBytes = 0;
  };
  std::uint64_t u = area.firstUnit;
  // Settles the checks that are in (all of them when `all`, or the oldest
  // while too many are out): true when the pass went back to a photo.
  auto settle = [&](bool all) {
    while (!pending.empty()) {
      Pending& p = pending.front();
      int verdict = p.job->verdict.load(std::memory_order_acquire);
      if (verdict == 0) {
        if (!all && pending.size() < kMaxPendingChecks && pendingBytes < kMaxPendingBytes) return false;
        verdict = checker->Wait(*p.job);
      }
      if (verdict == 1) {
        pendingBytes -= p.job->end;
        pending.pop_front();
        tell(pending.empty() ? ~std::uint64_t{0} : pending.front().held);
        continue;
      }
      u = p.unit;
      openLeft = p.openLeft;
      reserved.Truncate(p.reserved);
      result.files = p.files;
      result.fragmentedFiles = p.fragmented;
      held.resize(static_cast<std::size_t>(p.held - told));
      decodeAt = u;
      dropPending();
      return true;
    }
    return false;
  };

  for (;;) {
    if (u >= area.EndUnit()) {
      // The pass's end: every check settled, and one that is unsure
      // takes the pass back.
      if (!pending.empty() && settle(true)) continue;
      break;
    }
    if (!pending.empty() && settle(false)) continue;
    if (u >= nextReport) {
      nextReport = u + kProgressUnits;
      reported = std::max(reported, u - area.firstUnit);
      if (progress && !progress->Advance(reported)) {
        result.cancelled = true;
        break;
      }
      if (disk::DeviceAbandoned(ctx)) break;
    }
    if (!area.IsOpen(u)) {
      ++u;
      continue;
    }
    if (!reserved.empty() && reserved.Has(u)) {
      openLeft -= openLeft > 0 ? 1 : 0;
      ++u;
      continue;
    }
    // The first bytes of the units a little ahead are asked for now: a
    // block is larger than the cache the read leaves it in, and the pass
    // would otherwise wait on memory at every unit.
    if (const std::uint8_t* ahead = reader.Held(u + kPrefetchUnits)) __builtin_prefetch(ahead);
    std::memcpy(head.data(), reader.Unit(u), std::min<std::uint64_t>(head.size(), unitBytes));
    const std::uint64_t size = std::min(openLeft * unitBytes, options.limits.maxLength);
    const bool decodeHere = u == decodeAt;
    if (decodeHere) decodeAt = ~std::uint64_t{0};
    bool taken = false;
    for (const Format* f : formats) {
      const std::size_t n = std::min<std::size_t>(f->headBytes, std::min<std::uint64_t>(head.size(), unitBytes));
      if (!f->Matches(std::span<const std::uint8_t>(head.data(), n))) continue;
      OpenUnitsSource source(reader, area, reserved, u, size);
      std::uint64_t checkEnd = 0;
      Parsed parsed;
      if (!IsJpeg(*f) || (!options.checkPhotosAside && !decodeHere)) {
        parsed = f->Parse(source, options.limits);
      } else if (decodeHere) {
        parsed = formats::JpegParseDecoding(source, options.limits);
      } else {
        parsed = formats::JpegParseDeferred(source, options.limits, checkEnd);
      }
      CarvedFile file;
      file.firstUnit = u;
      if (parsed.verdict == Verdict::Complete && parsed.length > 0) {
        file.runs = source.RunsFor(parsed.length);
      } else if (parsed.verdict == Verdict::Damaged && IsJpeg(*f) && options.maxFragmentGap > 0 &&
                 parsed.length >= unitBytes) {
        // The photo decodes up to a point, then not: the units after that
        // point may belong to something written later in the gap the photo
        // left, and its continuation lie further on. The break is at a unit
        // boundary at or before where decoding stopped.
        const std::uint64_t goodUnits = parsed.length / unitBytes;
        // The candidates, (units kept, open units skipped): first where
        // the bytes stop looking like compressed picture data (text,
        // zeros, another file's structures) up to where they look like it
        // again; then the units around where decoding stopped, with every
        // gap up to the bound.
        std::vector<std::pair<std::uint64_t, std::uint64_t>> tries;
        for (std::uint64_t k = 1; k <= goodUnits + 1 && tries.size() < kMaxGapGuesses; ++k) {
          std::uint64_t unit = 0;
          if (!source.UnitAt(k * unitBytes, unit)) break;
          if (!UnlikeScanData(reader.Unit(unit), unitBytes)) continue;
          std::uint64_t gap = 1;
          while (gap <= options.maxFragmentGap && source.UnitAt((k + gap) * unitBytes, unit) &&
                 UnlikeScanData(reader.Unit(unit), unitBytes)) {
            ++gap;
          }
          tries.emplace_back(k, gap);
          k += gap;
        }
        for (std::uint64_t keep = goodUnits; keep + 2 > goodUnits && keep >= 1; --keep) {
          for (std::uint64_t skip = 1; skip <= options.maxFragmentGap; ++skip) {
            // Only where the continuation looks like compressed picture data.
            OpenUnitsSource probe = source.WithGap(keep, skip);
            std::uint64_t unit = 0;
            if (!probe.UnitAt(keep * unitBytes, unit)) break;
            if (!UnlikeScanData(reader.Unit(unit), unitBytes)) tries.emplace_back(keep, skip);
          }
        }
        // Each try decodes the photo again: their number is bounded.
        if (tries.size() > kMaxDecodeTries) tries.resize(kMaxDecodeTries);
        for (const auto& [keep, skip] : tries) {
          OpenUnitsSource candidate = source.WithGap(keep, skip);
          std::uint64_t first = 0;
          if (!candidate.UnitAt(keep * unitBytes, first)) continue;
          if (!CouldContinueJpeg(reader.Unit(first), unitBytes)) continue;
          // Only a whole photo counts here: a try whose structure does
          // not reach EOI is not decoded.
          Parsed again = formats::JpegParseWhole(candidate, options.limits);
          if (again.verdict == Verdict::Complete && again.length > keep * unitBytes) {
            parsed = again;
            file.runs = candidate.RunsFor(again.length);
            file.skippedUnits = skip;
            break;
          }
        }
      }
      if (parsed.verdict != Verdict::Complete || file.runs.empty()) continue;
      // Nothing else starts inside a file found whole, wanted or not: the
      // cursor moves past its last unit. A photo put together past a gap
      // keeps the gap open to the pass: its own units are reserved.
      taken = true;
      if (checkEnd != 0) {
        // Taken on trust: the pass as it stands, and the photo's bytes
        // (a little past its end, as far as the check may look).
        if (!checker) checker = std::make_unique<CodeChecker>();
        Pending p;
        p.job = std::make_shared<CodeChecker::Job>();
        p.job->end = checkEnd;
        const auto length = static_cast<std::size_t>(std::min(checkEnd + 64, std::min(size, source.Size())));
        // Looked at where it lies in memory when its units follow each
        // other in one block of the pass, else copied.
        const std::vector<UnitRun> runs = source.RunsFor(length);
        if (runs.size() == 1 && runs[0].count * unitBytes >= length) {
          p.job->view = reader.ViewOf(runs[0].first, runs[0].count, p.job->data);
        }
        if (p.job->view) {
          p.job->length = length;
        } else {
          p.job->bytes = checker->Buffer(length);
          p.job->data = p.job->bytes.data();
          p.job->length = source.Read(0, std::span<std::uint8_t>(p.job->bytes.data(), length));
        }
        p.unit = u;
        p.openLeft = openLeft;
        p.files = result.files;
        p.fragmented = result.fragmentedFiles;
        p.held = told + held.size();
        p.reserved = reserved.size();
        pendingBytes += checkEnd;
        checker->Submit(p.job);
        pending.push_back(std::move(p));
      }
      if (file.skippedUnits > 0) {
        reserved.Add(file.runs);
        openLeft -= openLeft > 0 ? 1 : 0;
        ++u;
      } else {
        const UnitRun last = file.runs.back();
        const std::uint64_t after = last.first + last.count;
        openLeft -= std::min(openLeft, area.open ? area.open->CountRange(u, after - u) : after - u);
        u = after;
      }
      if (ExtensionWanted(options.types, *f, parsed.extension)) {
        file.parsed = std::move(parsed);
        ++result.files;
        if (file.skippedUnits > 0) ++result.fragmentedFiles;
        if (pending.empty()) {
          found(std::move(file));
          ++told;
        } else {
          held.push_back(std::move(file));
        }
      }
      break;
    }
    if (!taken) {
      openLeft -= openLeft > 0 ? 1 : 0;
      ++u;
    }
  }
  // A cancelled pass (or one whose device is gone) ends with the files
  // found before the first photo whose check is unsure.
  while (!pending.empty() && checker->Wait(*pending.front().job) == 1) {
    pendingBytes -= pending.front().job->end;
    pending.pop_front();
    tell(pending.empty() ? ~std::uint64_t{0} : pending.front().held);
  }
  if (!pending.empty()) {
    result.files = pending.front().files;
    result.fragmentedFiles = pending.front().fragmented;
    dropPending();
  }
  reader.Settle();
  if (progress && !result.cancelled) progress->Advance(area.unitCount);
  result.bytesRead = reader.bytesRead();
  return result;
}

RunSource::RunSource(const disk::VolumeContext& ctx, const ScanArea& area, std::vector<UnitRun> runs,
                     std::uint64_t length)
    : ctx_(ctx), area_(area), runs_(std::move(runs)) {
  std::uint64_t at = 0;
  for (const UnitRun& r : runs_) {
    starts_.push_back(at);
    at += r.count * area_.UnitBytes();
  }
  length_ = std::min(length, at);
  area_.open = nullptr;
}

std::size_t RunSource::Read(std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::uint64_t unitBytes = area_.UnitBytes();
  if (offset >= length_ || unitBytes == 0) return 0;
  const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), length_ - offset));
  unit_.resize(unitBytes);
  std::size_t done = 0;
  while (done < want) {
    const std::uint64_t at = offset + done;
    const auto it = std::upper_bound(starts_.begin(), starts_.end(), at);
    const std::size_t i = static_cast<std::size_t>(it - starts_.begin()) - 1;
    const std::uint64_t unit = runs_[i].first + (at - starts_[i]) / unitBytes;
    if (unit != cachedUnit_) {
      std::fill(unit_.begin(), unit_.end(), 0);
      disk::ReadSectors(ctx_, area_.baseSector + (unit - area_.firstUnit) * area_.sectorsPerUnit,
                        area_.sectorsPerUnit, unit_.data());
      cachedUnit_ = unit;
    }
    const std::uint64_t inUnit = at % unitBytes;
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(want - done, unitBytes - inUnit));
    std::memcpy(out.data() + done, unit_.data() + inUnit, n);
    done += n;
  }
  return done;
}

}  // namespace ambrelic::carve
