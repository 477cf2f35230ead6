// libFuzzer target: any bytes as an NTFS volume, wiped (both passes) in
// memory. An independent check of the same bytes decides which clusters
// are vacant (the bitmap calls them free and no record in use claims them)
// and which records are deleted (16 on, "FILE", free by their header and by
// the MFT bitmap); the run fails if the wipe changes any byte outside them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <optional>
#include <vector>

#include "disk/operation_state.h"
#include "ntfs/mft_scan.h"
#include "ntfs/wipe.h"
#include "platform/block_device.h"
#include "wipe_guard.h"

namespace {

using namespace ambrelic;

using fuzz::GuardedMemory;
using fuzz::Le;
using fuzz::YesHost;

struct Run {
  std::uint64_t vcn, lcn, length;
};

// The check, from the bytes and the boot sector's geometry only.
class Oracle {
 public:
  Oracle(const disk::VolumeContext& ctx, const std::vector<std::uint8_t>& image) : ctx_(ctx), image_(image) {
    cs_ = static_cast<std::uint64_t>(ctx.bytesPerSector) * ctx.ntfsBootSector[0x0D];
    rs_ = ctx.mftRecordSize;
    clusters_ = cs_ ? image.size() / cs_ : 0;
  }

  // None when the volume is one this check does not follow (an attribute
  // list in the MFT's or the bitmap's own record).
  std::optional<std::vector<std::uint8_t>> Allowed() {
    if (cs_ == 0 || rs_ == 0 || clusters_ == 0) return std::nullopt;
    std::vector<std::uint8_t> allowed(image_.size(), 0);
    const std::uint64_t mftLcn = Le(std::vector<std::uint8_t>(ctx_.ntfsBootSector.begin(), ctx_.ntfsBootSector.end()), 0x30, 8);
    if (mftLcn >= clusters_) return std::nullopt;
    std::vector<std::uint8_t> zero = Slice(mftLcn * cs_, rs_);
    if (!Fixed(zero)) return std::nullopt;
    auto data = Unnamed(zero, 0x80);
    auto mftBitmap = Unnamed(zero, 0xB0);
    if (!data || !mftBitmap || HasList(zero) || !data->nonResident) return std::nullopt;
    mft_ = data->runs;
    const std::uint64_t records = data->realSize / rs_;
    const std::vector<std::uint8_t> recordBits = Value(*mftBitmap);
    std::vector<std::uint8_t> six = Record(6);
    if (!Fixed(six) || HasList(six)) return std::nullopt;
    auto bitmapAttribute = Unnamed(six, 0x80);
    if (!bitmapAttribute) return std::nullopt;
    const std::vector<std::uint8_t> bitmap = Value(*bitmapAttribute);

    std::vector<std::uint8_t> claimed(clusters_, 0);
    for (std::uint64_t n = 0; n < records && n < (1u << 20); ++n) {
      std::vector<std::uint8_t> record = Record(n);
      if (record.empty() || Le(record, 0, 4) != 0x454C4946) continue;
      const bool header = (record[0x16] & 1) != 0;
      const bool listed = Bit(recordBits, n);
      if (!header && !listed) {
        if (n >= 16) {
          for (std::uint64_t i = 0; i < rs_; ++i) {
            if (auto at = Where(mft_, n * rs_ + i)) allowed[*at] = 1;
          }
        }
        continue;
      }
      if (!Fixed(record)) continue;
      for (const Attr& a : Attributes(record)) {
        for (const Run& r : a.runs) {
          for (std::uint64_t c = r.lcn; c < r.lcn + r.length && c < clusters_; ++c) claimed[c] = 1;
        }
      }
    }
    // Never the boot sector's cluster, nor the cluster of the last sector.
    const std::uint64_t last = std::min<std::uint64_t>(ctx_.lastCluster, clusters_ - 1);
    const std::uint64_t tail = (image_.size() - ctx_.bytesPerSector) / cs_;
    for (std::uint64_t c = 1; c <= last; ++c) {
      if (claimed[c] || Bit(bitmap, c) || c == tail) continue;
      for (std::uint64_t b = c * cs_; b < (c + 1) * cs_; ++b) allowed[b] = 1;
    }
    return allowed;
  }

 private:
  struct Attr {
    std::uint32_t type = 0;
    bool nonResident = false;
    bool named = false;
    std::uint64_t realSize = 0;
    std::vector<std::uint8_t> value;
    std::vector<Run> runs;
  };

  std::vector<std::uint8_t> Slice(std::uint64_t at, std::uint64_t n) const {
    if (at > image_.size() || image_.size() - at < n) return {};
    return std::vector<std::uint8_t>(image_.begin() + at, image_.begin() + at + n);
  }
  static std::optional<std::uint64_t> Where(const std::vector<Run>& runs, std::uint64_t byte, std::uint64_t cs) {
    for (const Run& r : runs) {
      if (byte / cs >= r.vcn && byte / cs - r.vcn < r.length) return (r.lcn + byte / cs - r.vcn) * cs + byte % cs;
    }
    return std::nullopt;
  }
  std::optional<std::uint64_t> Where(const std::vector<Run>& runs, std::uint64_t byte) const {
    auto at = Where(runs, byte, cs_);
    if (at && *at >= image_.size()) return std::nullopt;
    return at;
  }
  std::vector<std::uint8_t> Record(std::uint64_t n) const {
    std::vector<std::uint8_t> r(rs_);
    for (std::uint64_t i = 0; i < rs_; ++i) {
      auto at = Where(mft_, n * rs_ + i);
      if (!at) return {};
      r[i] = image_[*at];
    }
    return r;
  }
  // The update sequence checked and put back; the stride from the count.
  static bool Fixed(std::vector<std::uint8_t>& r) {
    const std::uint64_t offset = Le(r, 4, 2), count = Le(r, 6, 2);
    if (r.empty() || count < 2 || offset + 2 * count > r.size()) return false;
    const std::uint64_t blocks = count - 1;
    if (r.size() % blocks) return false;
    const std::uint64_t stride = r.size() / blocks;
    if (stride < 256 || (stride & (stride - 1))) return false;
    for (std::uint64_t i = 1; i <= blocks; ++i) {
      if (Le(r, i * stride - 2, 2) != Le(r, offset, 2)) return false;
    }
    for (std::uint64_t i = 1; i <= blocks; ++i) {
      r[i * stride - 2] = r[offset + 2 * i];
      r[i * stride - 1] = r[offset + 2 * i + 1];
    }
    return true;
  }
  // The attributes up to the first one whose header does not hold
  // together; the runs of each up to the first one that does not.
  std::vector<Attr> Attributes(const std::vector<std::uint8_t>& r) const {
    std::vector<Attr> out;
    std::uint64_t at = Le(r, 0x14, 2);
    for (int steps = 0; steps < 1024; ++steps) {
      if (at + 16 > r.size()) break;
      const auto type = static_cast<std::uint32_t>(Le(r, at, 4));
      if (type == 0xFFFFFFFF) break;
      const std::uint64_t length = Le(r, at + 4, 4);
      if (length < 24 || at + length > r.size()) break;
      Attr a;
      a.type = type;
      a.nonResident = r[at + 8] != 0;
      const std::uint64_t nameLength = r[at + 9] * 2ull, nameAt = Le(r, at + 10, 2);
      a.named = nameLength != 0;
      if (a.named && nameAt + nameLength > length) break;
      if (!a.nonResident) {
        const std::uint64_t valueLength = Le(r, at + 0x10, 4), valueAt = Le(r, at + 0x14, 2);
        if (valueAt + valueLength > length) break;
        a.value.assign(r.begin() + at + valueAt, r.begin() + at + valueAt + valueLength);
        a.realSize = valueLength;
      } else {
        const std::uint64_t runsAt = Le(r, at + 0x20, 2);
        const std::uint64_t lowest = Le(r, at + 0x10, 8), highest = Le(r, at + 0x18, 8);
        if (length < 0x40 || runsAt < 0x40 || runsAt >= length) break;
        if (highest < lowest && highest + 1 != lowest) break;
        a.realSize = Le(r, at + 0x30, 8);
        std::uint64_t vcn = lowest, lcn = 0;
        for (std::uint64_t p = at + runsAt; p < at + length && r[p] != 0;) {
          const unsigned l = r[p] & 0x0F, o = r[p] >> 4;
          if (l > 8 || o > 8 || p + 1 + l + o > at + length) break;
          const std::uint64_t n = Le(r, p + 1, l);
          if (n == 0 || n > clusters_) break;
          if (o != 0) {
            std::uint64_t delta = Le(r, p + 1 + l, o);
            if (o < 8 && (r[p + l + o] & 0x80)) delta |= ~std::uint64_t{0} << (8 * o);
            lcn += delta;
            if (lcn >= clusters_ || clusters_ - lcn < n) break;
            a.runs.push_back({vcn, lcn, n});
          }
          vcn += n;
          p += 1 + l + o;
        }
      }
      out.push_back(std::move(a));
      at += length;
    }
    return out;
  }
  std::optional<Attr> Unnamed(const std::vector<std::uint8_t>& r, std::uint32_t type) const {
    for (Attr& a : Attributes(r)) {
      if (a.type == type && !a.named) return a;
    }
    return std::nullopt;
  }
  bool HasList(const std::vector<std::uint8_t>& r) const {
    for (const Attr& a : Attributes(r)) {
      if (a.type == 0x20) return true;
    }
    return false;
  }
  // The value as far as the runs reach; bytes they do not reach are all
  // ones ("in use").
  std::vector<std::uint8_t> Value(const Attr& a) const {
    if (!a.nonResident) return a.value;
    std::vector<std::uint8_t> v(static_cast<std::size_t>(std::min<std::uint64_t>(a.realSize, image_.size())), 0xFF);
    for (std::uint64_t i = 0; i < v.size(); ++i) {
      if (auto at = Where(a.runs, i)) v[i] = image_[*at];
    }
    return v;
  }
  static bool Bit(const std::vector<std::uint8_t>& bits, std::uint64_t i) {
    return i / 8 >= bits.size() || ((bits[i / 8] >> (i % 8)) & 1) != 0;
  }

  const disk::VolumeContext& ctx_;
  const std::vector<std::uint8_t>& image_;
  std::uint64_t cs_ = 0, rs_ = 0, clusters_ = 0;
  std::vector<Run> mft_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 4096 || size > (8u << 20)) return 0;
  std::vector<std::uint8_t> image(data, data + size);
  disk::VolumeContext ctx;
  ctx.fsKind = disk::FsKind::Ntfs;
  ctx.SearchedRoot = "C:\\";
  ctx.volumeHandle = std::make_shared<platform::MemoryDevice>(image, false);
  if (!ntfs::PrepareNtfsVolume(ctx)) return 0;
  const std::optional<std::vector<std::uint8_t>> allowed = Oracle(ctx, image).Allowed();
  if (!allowed) return 0;
  ctx.volumeHandle = std::make_shared<GuardedMemory>(image, *allowed, "record");
  disk::OperationState op;
  YesHost host;
  platform::RandomSource random;
  random.Seed(1);
  ntfs::WipeVacantNtfsClusters(ctx, op, host, random, false);
  return 0;
}
