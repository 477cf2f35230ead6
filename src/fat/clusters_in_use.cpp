#include "fat/clusters_in_use.h"

#include <algorithm>
#include <optional>

#include "disk/byte_reader.h"
#include "disk/fat_boot_sector.h"
#include "disk/sector_device.h"

namespace ambrelic::fat {
namespace {

using disk::FsKind;

constexpr std::uint8_t kEndOfDirectory = 0x00;
constexpr std::uint8_t kDeleted = 0xE5;
constexpr std::uint8_t kDot = 0x2E;
constexpr std::uint8_t kAttrLongName = 0x0F;
constexpr std::uint8_t kAttrDirectory = 0x10;
constexpr std::size_t kEntry = 32;
// FAT32 boot sector: extended flags (bit 7: only the table named in bits
// 0-3 is active, the others are not kept equal to it) and the sector of the
// backup boot sector.
constexpr std::size_t kExtFlags = 0x28;
constexpr std::size_t kBackupBootSector = 0x32;

// Bytes of a table that hold entries 0 to lastCluster.
std::uint64_t TableBytes(const disk::VolumeContext& ctx) {
  return ((ctx.lastCluster + 1) * disk::FatEntryBits(ctx.fsKind) + 7) / 8;
}

// The cluster a chain goes on to after an entry of value v, or 0 where it
// ends (v is read as FatEntryValue reads it, FAT32 through its low 28 bits,
// as the systems that mount the volume read it, so that no cluster they
// would follow is missed).
std::uint64_t NextCluster(const disk::VolumeContext& ctx, std::uint32_t v) {
  const std::uint32_t firstReserved = ctx.fsKind == FsKind::Fat12   ? 0xFF7
                                      : ctx.fsKind == FsKind::Fat16 ? 0xFFF7
                                                                    : 0x0FFFFFF7;
  if (v < 2 || v >= firstReserved || v > ctx.lastCluster) return 0;
  return v;
}

// Reads the first `bytes` of table copy k (whole sectors).
bool ReadTableCopy(const disk::VolumeContext& ctx, std::uint32_t k, std::uint64_t bytes,
                   std::vector<std::uint8_t>& out) {
  const std::uint32_t bps = ctx.bytesPerSector;
  const auto sectors = static_cast<std::uint32_t>((bytes + bps - 1) / bps);
  out.assign(static_cast<std::size_t>(sectors) * bps, 0);
  const std::uint64_t first = ctx.fatStartSector + static_cast<std::uint64_t>(k) * ctx.sectorsPerFat;
  return disk::ReadSectors(ctx, first, sectors, out.data());
}

// The boot sector fields that fix the layout: they must be the same in a
// FAT32 volume's backup boot sector.
bool SameLayout(disk::Bytes a, disk::Bytes b) {
  static constexpr std::pair<std::size_t, std::size_t> kFields[] = {{0x0B, 0x24 - 0x0B + 4}, {0x2C, 4}};
  for (auto [at, length] : kFields) {
    if (!disk::Fits(at, length, a.size()) || !disk::Fits(at, length, b.size())) return false;
    if (!std::equal(a.begin() + at, a.begin() + at + length, b.begin() + at)) return false;
  }
  return true;
}

class Surveyor {
 public:
  Surveyor(const disk::VolumeContext& ctx, FatClusterSurvey& out) : ctx_(ctx), out_(out) {}

  void Run() {
    // The layout first: it bounds the cluster count by the table, before
    // anything is sized by that count.
    if (!CheckLayout()) return;
    const std::uint64_t clusters = ctx_.lastCluster + 1;
    out_.vacant = disk::ClusterSet(clusters);
    out_.liveFolders = disk::ClusterSet(clusters);
    if (!ReadTables()) return;
    claimed_ = disk::ClusterSet(clusters);
    if (!WalkLiveTree()) return;
    // Vacant: every table says free, nothing live reaches it, and it lies
    // on the device.
    for (std::uint64_t c = 2; c <= ctx_.lastCluster; ++c) {
      if (claimed_.Test(c)) out_.vacant.Clear(c);
    }
    const std::uint64_t beyond = FirstClusterBeyondDevice();
    if (beyond <= ctx_.lastCluster) out_.vacant.ClearRange(beyond, clusters - beyond);
    out_.vacant.ClearRange(0, 2);
    for (std::uint64_t c = 2; c <= ctx_.lastCluster; ++c) {
      if (anyFree_.Test(c) && !out_.vacant.Test(c)) ++out_.disputedClusters;
    }
  }

 private:
  bool Damaged(FatDamage damage) {
    out_.damage = damage;
    return false;
  }

  bool CheckLayout() {
    // What the systems that mount FAT volumes refuse too: a cluster size
    // that is not a power of two, no reserved sector (the table would
    // overlay the boot sector), and a fixed root folder that ends inside a
    // sector (where the data area starts is then a matter of rounding, and
    // tools round differently).
    const std::uint32_t spc = ctx_.sectorsPerCluster;
    const std::uint32_t bps = ctx_.bytesPerSector;
    if (spc == 0 || (spc & (spc - 1)) != 0 || ctx_.numberOfFats == 0 || bps < kEntry || ctx_.reservedSectors == 0 ||
        (ctx_.fsKind != FsKind::Fat32 && ctx_.rootEntryCount * kEntry % bps != 0)) {
      return Damaged(FatDamage::Layout);
    }
    if (TableBytes(ctx_) > static_cast<std::uint64_t>(ctx_.sectorsPerFat) * ctx_.bytesPerSector) {
      return Damaged(FatDamage::TooManyClusters);
    }
    if (ctx_.fsKind != FsKind::Fat32) return true;
    if (!IsValidCluster(ctx_, ctx_.rootCluster)) return Damaged(FatDamage::Layout);
    const std::uint64_t start = ctx_.fatStartSector - std::min(ctx_.fatStartSector, ctx_.reservedSectors);
    std::vector<std::uint8_t> boot(ctx_.bytesPerSector);
    if (!disk::ReadSectors(ctx_, start, 1, boot.data())) {
      out_.allocationUnreadable = true;
      return false;
    }
    const std::uint16_t flags = disk::le16(boot, kExtFlags);
    if ((flags & 0x80) != 0) {
      mirrored_ = false;
      active_ = flags & 0x0F;
      if (active_ >= ctx_.numberOfFats) return Damaged(FatDamage::Layout);
    }
    const std::uint16_t backup = disk::le16(boot, kBackupBootSector);
    if (backup != 0 && backup != 0xFFFF) {
      std::vector<std::uint8_t> copy(ctx_.bytesPerSector);
      if (backup >= ctx_.reservedSectors) return Damaged(FatDamage::BootCopiesDiffer);
      if (!disk::ReadSectors(ctx_, start + backup, 1, copy.data())) {
        out_.allocationUnreadable = true;
        return false;
      }
      if (!SameLayout(boot, copy)) return Damaged(FatDamage::BootCopiesDiffer);
    }
    return true;
  }

  // Vacant so far: free in every copy. Copies that mirror each other must
  // hold the same entries from entry 2 on (entries 0 and 1 carry the media
  // byte and the systems' state flags).
  bool ReadTables() {
    const std::uint64_t bytes = TableBytes(ctx_);
    if (!ReadTableCopy(ctx_, active_, bytes, primary_)) {
      out_.allocationUnreadable = true;
      return false;
    }
    primary_.resize(static_cast<std::size_t>(bytes));
    anyFree_ = disk::ClusterSet(ctx_.lastCluster + 1);
    for (std::uint64_t c = 2; c <= ctx_.lastCluster; ++c) {
      if (FatEntryValue(ctx_.fsKind, primary_, c) == 0u) {
        out_.vacant.Set(c);
        anyFree_.Set(c);
      }
    }
    const std::uint64_t fromEntry2 = 2 * disk::FatEntryBits(ctx_.fsKind) / 8;
    std::vector<std::uint8_t> other;
    for (std::uint32_t k = 0; k < ctx_.numberOfFats; ++k) {
      if (k == active_) continue;
      if (!ReadTableCopy(ctx_, k, bytes, other)) {
        out_.allocationUnreadable = true;
        return false;
      }
      other.resize(static_cast<std::size_t>(bytes));
      if (mirrored_ && !std::equal(primary_.begin() + fromEntry2, primary_.end(), other.begin() + fromEntry2)) {
        return Damaged(FatDamage::TablesDiffer);
      }
      for (std::uint64_t c = 2; c <= ctx_.lastCluster; ++c) {
        if (FatEntryValue(ctx_.fsKind, other, c) == 0u) anyFree_.Set(c);
        else out_.vacant.Clear(c);
      }
    }
    return true;
  }

  // Claims the chain from first: every cluster of it must be in use in the
  // active table and claimed by nothing else. Returns the chain (for a
  // folder) or stops with the damage found.
  bool ClaimChain(std::uint64_t first, bool folder, std::uint64_t size, std::vector<std::uint64_t>* chain) {
    std::uint64_t count = 0;
    for (std::uint64_t c = first; c != 0;) {
      const auto raw = FatEntryValue(ctx_.fsKind, primary_, c);
      if (raw == 0u) return Damaged(FatDamage::LiveInFree);
      if (claimed_.Test(c)) return Damaged(FatDamage::SharedClusters);
      claimed_.Set(c);
      if (folder) out_.liveFolders.Set(c);
      if (chain) chain->push_back(c);
      ++count;
      c = raw ? NextCluster(ctx_, *raw) : 0;
    }
    if (!folder && count * ctx_.bytesPerCluster < size) return Damaged(FatDamage::FileBeyondChain);
    return true;
  }

  // Every live entry of a folder's bytes: files claim their chains, folders
  // are queued. "." and ".." name folders already claimed.
  bool TakeEntries(disk::Bytes bytes, bool& ended) {
    for (std::size_t at = 0; disk::Fits(at, kEntry, bytes.size()); at += kEntry) {
      const disk::Bytes e = bytes.subspan(at, kEntry);
      const std::uint8_t first = e[0];
      if (first == kEndOfDirectory) {
        ended = true;
        return true;
      }
      const std::uint8_t attributes = e[0x0B];
      if (first == kDeleted || first == kDot || attributes == kAttrLongName) continue;
      std::uint64_t cluster = disk::le16(e, 0x1A);
      if (ctx_.fsKind == FsKind::Fat32) cluster |= static_cast<std::uint64_t>(disk::le16(e, 0x14)) << 16;
      if (!IsValidCluster(ctx_, cluster)) continue;
      const bool folder = (attributes & kAttrDirectory) != 0;
      std::vector<std::uint64_t> chain;
      if (!ClaimChain(cluster, folder, disk::le32(e, 0x1C), folder ? &chain : nullptr)) return false;
      if (folder) folders_.push_back(std::move(chain));
    }
    return true;
  }

  bool WalkLiveTree() {
    buffer_.assign(ctx_.bytesPerCluster, 0);
    bool ended = false;
    if (ctx_.fsKind == FsKind::Fat32) {
      std::vector<std::uint64_t> root;
      if (!ClaimChain(ctx_.rootCluster, true, 0, &root)) return false;
      if (!WalkFolder(root, false)) return false;
    } else {
      const std::uint64_t sectors = (static_cast<std::uint64_t>(ctx_.rootEntryCount) * kEntry +
                                     ctx_.bytesPerSector - 1) / ctx_.bytesPerSector;
      std::vector<std::uint8_t> root(static_cast<std::size_t>(sectors) * ctx_.bytesPerSector);
      if (!root.empty() && !disk::ReadSectors(ctx_, ctx_.rootDirSector, static_cast<std::uint32_t>(sectors),
                                              root.data())) {
        out_.foldersUnreadable = true;
        return false;
      }
      if (!TakeEntries(disk::Bytes(root.data(), std::min<std::size_t>(root.size(), ctx_.rootEntryCount * kEntry)),
                       ended)) {
        return false;
      }
    }
    // Each folder's clusters were claimed once, so this ends.
    while (!folders_.empty()) {
      std::vector<std::uint64_t> chain = std::move(folders_.back());
      folders_.pop_back();
      if (!WalkFolder(chain, true)) return false;
    }
    return true;
  }

  bool WalkFolder(const std::vector<std::uint64_t>& chain, bool needsDots) {
    bool ended = false;
    for (std::size_t i = 0; i < chain.size() && !ended; ++i) {
      if (!ReadCluster(ctx_, static_cast<Cluster>(chain[i]), buffer_.data())) {
        out_.foldersUnreadable = true;
        return false;
      }
      const disk::Bytes bytes(buffer_.data(), buffer_.size());
      if (i == 0 && needsDots) {
        const bool dot = bytes[0] == kDot && bytes[1] == ' ' && (bytes[0x0B] & kAttrDirectory) != 0;
        if (!dot) return Damaged(FatDamage::FolderWithoutDots);
      }
      if (!TakeEntries(bytes, ended)) return false;
    }
    return true;
  }

  // Clusters that lie (even in part) past the end of the device are not
  // the volume's to overwrite. Unknown on the 9x path, where the volume's
  // bound comes from its partition.
  std::uint64_t FirstClusterBeyondDevice() const {
    if (ctx_.IsNtPlatform != 1 || !ctx_.volumeHandle) return ctx_.lastCluster + 1;
    const std::uint64_t sectors = ctx_.volumeHandle->Size() / ctx_.bytesPerSector;
    if (sectors < ctx_.dataStartSector) return 2;
    return 2 + (sectors - ctx_.dataStartSector) / ctx_.sectorsPerCluster;
  }

  const disk::VolumeContext& ctx_;
  FatClusterSurvey& out_;
  bool mirrored_ = true;
  std::uint32_t active_ = 0;
  std::vector<std::uint8_t> primary_;
  disk::ClusterSet anyFree_;
  disk::ClusterSet claimed_;
  std::vector<std::uint8_t> buffer_;
  std::vector<std::vector<std::uint64_t>> folders_;
};

}  // namespace

FatClusterSurvey SurveyFatClusters(const disk::VolumeContext& ctx) {
  FatClusterSurvey survey;
  if (!disk::IsFat(ctx.fsKind) || ctx.lastCluster < 2 || ctx.bytesPerSector == 0 || ctx.bytesPerCluster == 0) {
    survey.damage = FatDamage::Layout;
    return survey;
  }
  Surveyor(ctx, survey).Run();
  return survey;
}

bool RecheckFatTables(const disk::VolumeContext& ctx, FatClusterSurvey& survey) {
  const std::uint64_t bytes = TableBytes(ctx);
  std::vector<std::uint8_t> table;
  for (std::uint32_t k = 0; k < ctx.numberOfFats; ++k) {
    if (!ReadTableCopy(ctx, k, bytes, table)) return false;
    for (std::uint64_t c = 2; c <= ctx.lastCluster; ++c) {
      if (survey.vacant.Test(c) && FatEntryValue(ctx.fsKind, table, c) != 0u) survey.vacant.Clear(c);
    }
  }
  return true;
}

bool RecheckFatRun(const disk::VolumeContext& ctx, FatClusterSurvey& survey, std::uint64_t first,
                   std::uint64_t count) {
  const std::uint64_t bps = ctx.bytesPerSector;
  if (count == 0 || bps == 0 || first + count - 1 > ctx.lastCluster) return count == 0;
  const std::uint64_t bits = disk::FatEntryBits(ctx.fsKind);
  // FAT12 entries straddle sectors; its table is never more than a few
  // sectors, read from its start. The wider entries are read from the
  // sector that holds the run's first one.
  const std::uint64_t fromSector = ctx.fsKind == FsKind::Fat12 ? 0 : first * bits / 8 / bps;
  const std::uint64_t toSector = std::min<std::uint64_t>(((first + count) * bits + 7) / 8 / bps + 1,
                                                         LoadedTableSectors(ctx));
  if (toSector <= fromSector) return false;
  const std::uint64_t base = fromSector * bps * 8 / bits;
  std::vector<std::uint8_t> table(static_cast<std::size_t>((toSector - fromSector) * bps));
  for (std::uint32_t k = 0; k < ctx.numberOfFats; ++k) {
    const std::uint64_t at = ctx.fatStartSector + static_cast<std::uint64_t>(k) * ctx.sectorsPerFat + fromSector;
    if (!disk::ReadSectors(ctx, at, static_cast<std::uint32_t>(toSector - fromSector), table.data())) return false;
    for (std::uint64_t c = first; c < first + count; ++c) {
      if (survey.vacant.Test(c) && FatEntryValue(ctx.fsKind, table, c - base) != 0u) survey.vacant.Clear(c);
    }
  }
  return true;
}

const char* FatDamageReason(FatDamage damage) {
  switch (damage) {
    case FatDamage::Layout: return "its boot sector describes a layout no FAT volume can have";
    case FatDamage::BootCopiesDiffer: return "its boot sector and the backup copy of it do not agree";
    case FatDamage::TooManyClusters: return "its boot sector counts more clusters than its allocation table holds";
    case FatDamage::TablesDiffer: return "its allocation tables do not agree";
    case FatDamage::LiveInFree: return "a file or folder in use lies in clusters its allocation table calls free";
    case FatDamage::SharedClusters: return "two files or folders in use share clusters";
    case FatDamage::FolderWithoutDots: return "a folder in use does not begin with its \".\" and \"..\" entries";
    case FatDamage::FileBeyondChain: return "a file in use is longer than its chain of clusters";
    case FatDamage::None: break;
  }
  return "";
}

}  // namespace ambrelic::fat
