// libFuzzer target: any bytes as a FAT volume, wiped (both phases) in
// memory. An independent check of the same bytes decides which clusters
// are vacant (every table copy says free, no live chain reaches them) and
// which directory entries are deleted (first byte 0xE5, in the root or a
// live folder); the run fails if the wipe changes any byte outside them.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/fat_boot_sector.h"
#include "disk/operation_state.h"
#include "fat/allocation_table.h"
#include "fat/wipe.h"
#include "platform/block_device.h"
#include "wipe_guard.h"

namespace {

using namespace ambrelic;

using fuzz::GuardedMemory;
using fuzz::YesHost;

// The check, from the bytes and the layout only.
class Oracle {
 public:
  Oracle(const disk::VolumeContext& ctx, const std::vector<std::uint8_t>& image) : ctx_(ctx), image_(image) {}

  std::vector<std::uint8_t> Allowed() {
    std::vector<std::uint8_t> allowed(image_.size(), 0);
    const std::uint64_t bps = ctx_.bytesPerSector;
    bits_ = ctx_.fsKind == disk::FsKind::Fat12 ? 12 : ctx_.fsKind == disk::FsKind::Fat16 ? 16 : 32;
    active_ = 0;
    if (ctx_.fsKind == disk::FsKind::Fat32 && image_.size() > 0x29 && (image_[0x28] & 0x80)) active_ = image_[0x28] & 0x0F;
    reached_.assign(ctx_.lastCluster + 1, 0);
    // Live entries of the root, then of every live folder they lead to.
    if (ctx_.fsKind == disk::FsKind::Fat32) {
      Follow(ctx_.rootCluster, kFolder);
    } else {
      Entries(ctx_.rootDirSector * bps, static_cast<std::uint64_t>(ctx_.rootEntryCount) * 32, allowed);
    }
    for (std::size_t i = 0; i < folders_.size(); ++i) {
      const std::uint64_t c = folders_[i];
      if (reached_[c] != kFolder) continue;  // also reached as a file: its bytes are the file's
      Entries(ClusterOffset(c), ctx_.bytesPerCluster, allowed);
    }
    for (std::uint64_t c = 2; c <= ctx_.lastCluster; ++c) {
      if (reached_[c] != 0 || !FreeInEveryCopy(c)) continue;
      const std::uint64_t at = ClusterOffset(c);
      for (std::uint64_t b = at; b < at + ctx_.bytesPerCluster && b < image_.size(); ++b) allowed[b] = 1;
    }
    return allowed;
  }

 private:
  static constexpr std::uint8_t kFile = 1, kFolder = 2;  // both: reached as each

  std::uint64_t ClusterOffset(std::uint64_t c) const {
    return (ctx_.dataStartSector + (c - 2) * ctx_.sectorsPerCluster) * static_cast<std::uint64_t>(ctx_.bytesPerSector);
  }
  // Entry c of table copy k, read from the image; all ones where the
  // image ends.
  std::uint32_t Entry(std::uint64_t k, std::uint64_t c) const {
    const std::uint64_t start = (ctx_.fatStartSector + k * ctx_.sectorsPerFat) * ctx_.bytesPerSector;
    const std::uint64_t off = start + c * bits_ / 8;
    auto byte = [&](std::uint64_t i) -> std::uint32_t { return i < image_.size() ? image_[i] : 0xFF; };
    if (bits_ == 12) {
      const std::uint32_t v = byte(off) | (byte(off + 1) << 8);
      return (c & 1) ? v >> 4 : v & 0xFFF;
    }
    if (bits_ == 16) return byte(off) | (byte(off + 1) << 8);
    return byte(off) | (byte(off + 1) << 8) | (byte(off + 2) << 16) | (byte(off + 3) << 24);
  }
  bool FreeInEveryCopy(std::uint64_t c) const {
    for (std::uint64_t k = 0; k < ctx_.numberOfFats; ++k) {
      if (Entry(k, c) != 0) return false;
    }
    return true;
  }
  // Marks the chain from c in the active copy as reached.
  void Follow(std::uint64_t c, std::uint8_t how) {
    const std::uint32_t reserved = bits_ == 12 ? 0xFF7 : bits_ == 16 ? 0xFFF7 : 0x0FFFFFF7;
    for (std::uint64_t n = 0; c >= 2 && c <= ctx_.lastCluster && n <= ctx_.lastCluster; ++n) {
      if ((reached_[c] & how) != 0) return;
      const bool fresh = reached_[c] == 0;
      reached_[c] |= how;
      if (how == kFolder && fresh) folders_.push_back(c);
      std::uint32_t next = Entry(active_, c);
      if (bits_ == 32) next &= 0x0FFFFFFF;
      if (next >= reserved) return;
      c = next;
    }
  }
  // A folder region: every slot that starts with 0xE5 is a deleted entry
  // (also past the end marker); live entries lead on until the end marker.
  void Entries(std::uint64_t at, std::uint64_t bytes, std::vector<std::uint8_t>& allowed) {
    for (std::uint64_t e = at; e + 32 <= at + bytes && e + 32 <= image_.size(); e += 32) {
      if (image_[e] == 0xE5) {
        for (std::uint64_t b = e + 1; b < e + 32; ++b) allowed[b] = 1;
      }
    }
    for (std::uint64_t e = at; e + 32 <= at + bytes && e + 32 <= image_.size(); e += 32) {
      const std::uint8_t first = image_[e];
      if (first == 0x00) return;
      if (first == 0xE5) continue;
      const std::uint8_t attributes = image_[e + 11];
      if (first == '.' || attributes == 0x0F) continue;
      std::uint64_t c = image_[e + 0x1A] | (image_[e + 0x1B] << 8);
      if (bits_ == 32) c |= static_cast<std::uint64_t>(image_[e + 0x14] | (image_[e + 0x15] << 8)) << 16;
      Follow(c, (attributes & 0x10) ? kFolder : kFile);
    }
  }

  const disk::VolumeContext& ctx_;
  const std::vector<std::uint8_t>& image_;
  std::uint64_t bits_ = 0;
  std::uint64_t active_ = 0;
  std::vector<std::uint8_t> reached_;
  std::vector<std::uint64_t> folders_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 513 || size > (4u << 20)) return 0;
  // The first byte is the kind a partition type would claim; the rest is
  // the volume, whose own layout decides, as volume preparation has it.
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> image(data + 1, data + size);
  disk::VolumeContext ctx;
  ctx.fsKind = disk::FatKindFromLayout(static_cast<disk::FsKind>(1 + control % 3),
                                       std::span<const std::uint8_t>(image.data(), 512));
  ctx.SearchedRoot = "C:\\";
  auto scratch = std::make_shared<platform::MemoryDevice>(image, false);
  ctx.volumeHandle = scratch;
  if (!disk::ParseFatBootSectorBytes(ctx, image.data(), image.size(), 0, image.size() / 512)) return 0;
  // Keep each run short: the first phase steps through every cluster the
  // boot sector claims.
  if (ctx.lastCluster > 1u << 18 || static_cast<std::uint64_t>(ctx.sectorsPerFat) * ctx.bytesPerSector > 1u << 22) {
    return 0;
  }
  fat::LoadAllocationTable(ctx, 0);

  ctx.volumeHandle = std::make_shared<GuardedMemory>(image, Oracle(ctx, image).Allowed(), "entry");
  disk::OperationState op;
  YesHost host;
  platform::RandomSource random;
  random.Seed(1);
  fat::WipeFatVolume(ctx, op, host, random, false);
  return 0;
}
