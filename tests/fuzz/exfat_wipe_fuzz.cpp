// libFuzzer target: any bytes as an exFAT volume, wiped (both phases) in
// memory. An independent check of the same bytes decides which clusters
// are vacant (every allocation bitmap the root names calls them free and no
// live entry set reaches them) and which directory entries are deleted
// (outside the live sets of the root or a live folder, a type that is not 0
// with its in-use bit clear, before the end of the folder); the run fails
// if the wipe changes any byte outside them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <unordered_set>
#include <vector>

#include "disk/operation_state.h"
#include "exfat/volume.h"
#include "exfat/wipe.h"
#include "platform/block_device.h"
#include "wipe_guard.h"

namespace {

using namespace ambrelic;

using fuzz::GuardedMemory;
using fuzz::Le;
using fuzz::YesHost;

// The check, from the bytes of the main boot sector on. Which bitmaps the
// volume has (the root's entries that name them) is taken as preparation
// found it; what they say is read here.
class Oracle {
 public:
  Oracle(const std::vector<std::uint8_t>& image, const std::vector<exfat::ExfatVolume::Extent>& bitmaps)
      : image_(image), bitmapExtents_(bitmaps) {}

  std::vector<std::uint8_t> Allowed() {
    std::vector<std::uint8_t> allowed(image_.size(), 0);
    const unsigned sectorShift = image_[0x6C];
    const unsigned clusterShift = image_[0x6D];
    if (sectorShift < 9 || sectorShift > 12 || sectorShift + clusterShift > 25) return allowed;
    bps_ = 1ull << sectorShift;
    bpc_ = bps_ << clusterShift;
    const std::uint64_t fatLength = Le(image_, 0x54, 4);
    fat_ = Le(image_, 0x50, 4) * bps_;
    // A volume with two FATs works on the one its flags name.
    if (image_[0x6E] == 2 && (image_[0x6A] & 1)) fat_ += fatLength * bps_;
    heap_ = Le(image_, 0x58, 4) * bps_;
    last_ = Le(image_, 0x5C, 4) + 1;
    if (last_ > (1u << 20)) return allowed;
    reached_.assign(last_ + 1, 0);
    // The root: its chain to its end mark; then every live folder it leads to.
    std::vector<std::vector<std::uint64_t>> folders{Chain(Le(image_, 0x60, 4), UINT64_MAX, false)};
    for (const auto& extent : bitmapExtents_) {
      std::vector<std::uint8_t> bits = Gather(Allocation(extent.firstCluster, extent.length, false));
      bits.resize(std::min<std::uint64_t>(bits.size(), extent.length));
      bitmaps_.push_back(std::move(bits));
    }
    for (std::size_t f = 0; f < folders.size(); ++f) {
      const std::vector<std::uint8_t> bytes = Gather(folders[f]);
      Entries(bytes, folders);
      // The deleted entries of a live folder, at their place on the volume.
      for (std::uint64_t slot : DeletedSlots(bytes)) {
        const std::uint64_t at = Offset(folders[f][slot * 32 / bpc_]) + slot * 32 % bpc_;
        for (std::uint64_t b = at + 1; b < at + 32 && b < image_.size(); ++b) allowed[b] = 1;
      }
    }
    if (bitmaps_.empty()) return allowed;
    for (std::uint64_t c = 2; c <= last_; ++c) {
      if (reached_[c]) continue;
      bool free = true;
      for (const auto& bitmap : bitmaps_) {
        const std::uint64_t bit = c - 2;
        free = free && bit / 8 < bitmap.size() && ((bitmap[bit / 8] >> (bit % 8)) & 1) == 0;
      }
      if (!free) continue;
      for (std::uint64_t b = Offset(c); b < Offset(c) + bpc_ && b < image_.size(); ++b) allowed[b] = 1;
    }
    return allowed;
  }

 private:
  std::uint64_t Offset(std::uint64_t c) const { return heap_ + (c - 2) * bpc_; }

  // The clusters of an allocation: count of them (UINT64_MAX: to the end
  // mark), contiguous or along the active FAT, never past the volume or
  // round a loop. Each is marked reached.
  std::vector<std::uint64_t> Chain(std::uint64_t c, std::uint64_t count, bool contiguous) {
    std::vector<std::uint64_t> out;
    std::unordered_set<std::uint64_t> seen;
    while (out.size() < count && c >= 2 && c <= last_ && seen.insert(c).second) {
      reached_[c] = 1;
      out.push_back(c);
      c = contiguous ? c + 1 : Le(image_, fat_ + 4 * c, 4);
    }
    return out;
  }
  std::vector<std::uint64_t> Allocation(std::uint64_t first, std::uint64_t length, bool contiguous) {
    if (length == 0) return {};
    return Chain(first, (length + bpc_ - 1) / bpc_, contiguous);
  }
  std::vector<std::uint8_t> Gather(const std::vector<std::uint64_t>& clusters) const {
    std::vector<std::uint8_t> out;
    for (std::uint64_t c : clusters) {
      for (std::uint64_t b = Offset(c); b < Offset(c) + bpc_; ++b) out.push_back(b < image_.size() ? image_[b] : 0);
    }
    return out;
  }

  // Live entry sets of a folder's bytes: the clusters they allocate are
  // reached, live subfolders queued.
  void Entries(const std::vector<std::uint8_t>& d, std::vector<std::vector<std::uint64_t>>& folders) {
    auto first = [&](std::uint64_t e) { return Le(d, e + 0x14, 4); };
    auto length = [&](std::uint64_t e) { return Le(d, e + 0x18, 8); };
    for (std::uint64_t at = 0; at + 32 <= d.size();) {
      const std::uint8_t type = d[at];
      if (type == 0) return;
      // Deleted entries, and secondaries outside a set, allocate nothing.
      if ((type & 0x80) == 0 || (type & 0x40) != 0 || type == 0x83) {
        at += 32;
        continue;
      }
      if (type == 0x81 || type == 0x82) {
        Allocation(first(at), length(at), false);
        at += 32;
        continue;
      }
      const std::uint64_t secondaries = d[at + 1];
      std::uint64_t from = 1;
      if (type == 0x85) {
        from = secondaries + 1;
        if (at + 64 <= d.size()) {
          const std::uint64_t stream = at + 32;
          const std::vector<std::uint64_t> clusters =
              Allocation(first(stream), length(stream), (d[stream + 1] & 0x02) != 0);
          if ((Le(d, at + 4, 2) & 0x10) != 0 && !clusters.empty()) folders.push_back(clusters);
          from = 2 + (d[stream + 3] + 14) / 15;
        }
      } else if ((d[at + 4] & 0x01) != 0) {
        // A benign primary of another kind with an allocation.
        Allocation(first(at), length(at), (d[at + 4] & 0x02) != 0);
      }
      // Secondaries after the name with an allocation of their own.
      for (std::uint64_t k = from; k <= secondaries && at + 32 * k + 32 <= d.size(); ++k) {
        const std::uint64_t e = at + 32 * k;
        if ((d[e + 1] & 0x01) != 0 && first(e) != 0) Allocation(first(e), length(e), (d[e + 1] & 0x02) != 0);
      }
      at += 32 * (secondaries + 1);
    }
  }

  // Slots outside every live set with a type that is not 0 and its in-use
  // bit clear, before the end of the folder.
  static std::vector<std::uint64_t> DeletedSlots(const std::vector<std::uint8_t>& d) {
    std::vector<std::uint64_t> out;
    std::uint64_t liveLeft = 0;
    for (std::uint64_t i = 0; i * 32 + 32 <= d.size(); ++i) {
      const std::uint8_t type = d[i * 32];
      if (liveLeft > 0) {
        --liveLeft;
        continue;
      }
      if (type == 0) break;
      if ((type & 0x80) == 0) {
        out.push_back(i);
        continue;
      }
      const bool hasSecondaries = (type & 0x40) == 0 && type != 0x81 && type != 0x82 && type != 0x83;
      if (hasSecondaries) liveLeft = d[i * 32 + 1];
    }
    return out;
  }

  const std::vector<std::uint8_t>& image_;
  const std::vector<exfat::ExfatVolume::Extent>& bitmapExtents_;
  std::uint64_t bps_ = 0, bpc_ = 0, fat_ = 0, heap_ = 0, last_ = 0;
  std::vector<std::uint8_t> reached_;
  std::vector<std::vector<std::uint8_t>> bitmaps_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 24 * 512 || size > (4u << 20)) return 0;
  std::vector<std::uint8_t> image(data, data + size);
  disk::VolumeContext ctx;
  ctx.fsKind = disk::FsKind::Exfat;
  ctx.SearchedRoot = "C:\\";
  ctx.volumeHandle = std::make_shared<platform::MemoryDevice>(image, false);
  if (!exfat::PrepareExfatVolume(ctx)) return 0;
  // The check reads the main boot sector: a volume taken from its backup
  // region (which may differ from the main one in any field the check
  // reads) is left to the other targets.
  const exfat::ExfatVolume& v = exfat::VolumeOf(ctx);
  if (v.clusterHeapOffset != Le(image, 0x58, 4) || v.rootCluster != Le(image, 0x60, 4) ||
      v.clusterCount != Le(image, 0x5C, 4) || v.fatLength != Le(image, 0x54, 4) ||
      v.bytesPerSectorShift != image[0x6C] || v.sectorsPerClusterShift != image[0x6D] ||
      v.numberOfFats != image[0x6E] || (v.volumeFlags & 1) != (image[0x6A] & 1) || v.lastCluster > (1u << 20)) {
    return 0;
  }
  ctx.volumeHandle = std::make_shared<GuardedMemory>(image, Oracle(image, v.bitmapExtents).Allowed(), "directory entry");
  disk::OperationState op;
  YesHost host;
  platform::RandomSource random;
  random.Seed(1);
  exfat::WipeExfatVolume(ctx, op, host, random, false);
  return 0;
}
