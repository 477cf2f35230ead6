#include "exfat/wipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>

#include "disk/byte_reader.h"
#include "disk/vacant_overwrite.h"
#include "disk/wipe_report.h"
#include "exfat/entry_set.h"
#include "exfat/volume.h"

namespace ambrelic::exfat {
namespace {

constexpr std::uint16_t kVolumeDirty = 0x0002;
constexpr std::uint8_t kBenignBit = 0x20;
constexpr std::size_t kOffPrimaryFlags = 0x04;

const char* const kReplacingInfo = "Replacing file information.";

std::string BitmapUnreadableText(const std::string& root) {
  return "The allocation bitmap of " + root + " drive could not be read.\n\nNothing has been overwritten.";
}

// How many secondaries follow a primary entry in use: the bitmap, up-case
// and label entries have none (their second byte means something else).
std::size_t SecondariesOf(disk::Bytes entries, std::size_t index) {
  const std::uint8_t type = disk::le8(entries, index * kEntrySize);
  if (type == kTypeBitmap || type == kTypeUpcase || type == kTypeLabel) return 0;
  return disk::le8(entries, index * kEntrySize + kOffSecondaryCount);
}

// Slots of a directory that hold deleted entries: outside every live set,
// a type that is not 0 and has its in-use bit clear. The end-of-directory
// entry ends the look (what follows it is never written by a file system).
std::vector<std::uint8_t> DeletedSlots(disk::Bytes entries) {
  const std::size_t count = entries.size() / kEntrySize;
  std::vector<std::uint8_t> slots(count, 0);
  std::size_t liveLeft = 0;  // secondaries of the live set still to pass
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t type = entries[i * kEntrySize];
    if (liveLeft > 0) {
      --liveLeft;
      continue;
    }
    if (type == kEndOfDirectory) break;
    if ((type & kInUse) == 0) {
      slots[i] = 1;
      continue;
    }
    if ((type & kSecondaryBit) == 0) liveLeft = SecondariesOf(entries, i);
  }
  return slots;
}

class LiveMapper {
 public:
  LiveMapper(const disk::VolumeContext& ctx, std::span<const std::uint8_t> bitmap)
      : ctx_(ctx), v_(VolumeOf(ctx)), bitmap_(bitmap) {
    out_.reached = disk::ClusterSet(static_cast<std::uint64_t>(v_.lastCluster) + 1);
  }

  LiveAllocation Run() {
    // The root has no length: its chain runs to its end mark. A chain that
    // comes back on itself reaches a cluster twice, which Reach refuses.
    std::vector<Cluster> root;
    for (Cluster c = v_.rootCluster;;) {
      if (!IsValidCluster(v_, c)) return Fail("the root folder's chain leaves the volume");
      if (!Reach(c)) return std::move(out_);
      root.push_back(c);
      const std::uint32_t next = FatEntry(ctx_, c);
      if (next == kFatEndOfChain) break;
      c = next;
    }
    std::vector<std::vector<Cluster>> stack{root};
    std::vector<std::uint8_t> bytes;
    while (!stack.empty() && out_.contradiction.empty()) {
      std::vector<Cluster> dir = std::move(stack.back());
      stack.pop_back();
      bytes.assign(dir.size() * static_cast<std::size_t>(v_.bytesPerCluster), 0);
      for (std::size_t k = 0; k < dir.size(); ++k) {
        if (!ReadClusters(ctx_, dir[k], 1, bytes.data() + k * v_.bytesPerCluster)) {
          return Fail("a folder could not be read");
        }
      }
      std::vector<std::vector<Cluster>> children;
      MapDirectory(bytes, children);
      out_.directories.push_back(std::move(dir));
      for (auto it = children.rbegin(); it != children.rend(); ++it) stack.push_back(std::move(*it));
    }
    return std::move(out_);
  }

 private:
  LiveAllocation Fail(const std::string& why) {
    Note(why);
    return std::move(out_);
  }
  void Note(const std::string& why) {
    if (out_.contradiction.empty()) out_.contradiction = why;
  }

  // Marks a cluster reached; false (and the contradiction noted) when the
  // bitmap calls it free or something else reached it already.
  bool Reach(Cluster c) {
    if (!BitmapInUse(bitmap_, c)) {
      Note("cluster " + std::to_string(c) + " is in use by a file but free in the allocation bitmap");
      return false;
    }
    if (out_.Reached(c)) {
      Note("cluster " + std::to_string(c) + " belongs to two files");
      return false;
    }
    out_.reached.Set(c);
    return true;
  }

  // The clusters of an allocation (a stream, a metadata file): exactly as
  // many as its length needs, contiguous or along its chain.
  bool ReachAllocation(Cluster first, std::uint64_t length, bool noFatChain, std::vector<Cluster>* clusters) {
    if (length == 0) return true;
    const std::uint64_t need = ClustersFor(v_, length);
    if ((length - 1) / v_.bytesPerCluster >= need) {
      Note("a file is longer than the volume");
      return false;
    }
    Cluster c = first;
    for (std::uint64_t k = 0; k < need; ++k) {
      if (!IsValidCluster(v_, c)) {
        Note("a file's clusters leave the volume");
        return false;
      }
      if (!Reach(c)) return false;
      if (clusters) clusters->push_back(c);
      if (k + 1 < need) c = noFatChain ? c + 1 : FatEntry(ctx_, c);
    }
    return true;
  }

  void MapDirectory(disk::Bytes entries, std::vector<std::vector<Cluster>>& children) {
    const std::size_t count = entries.size() / kEntrySize;
    EntrySet set;
    for (std::size_t i = 0; i < count && out_.contradiction.empty();) {
      const std::uint8_t type = entries[i * kEntrySize];
      if (type == kEndOfDirectory) return;
      const disk::Bytes e = disk::ByteReader(entries).slice(i * kEntrySize, kEntrySize);
      if ((type & kInUse) == 0 || (type & kSecondaryBit) != 0) {
        ++i;
        continue;
      }
      if (type == kTypeBitmap || type == kTypeUpcase) {
        ReachAllocation(disk::le32(e, kOffFirstCluster), disk::le64(e, kOffDataLength), false, nullptr);
        ++i;
        continue;
      }
      if (type == kTypeLabel) {
        ++i;
        continue;
      }
      if (type == kTypeFile) {
        if (!ReadEntrySet(entries, i, v_.upcase, set) || !set.inUse) {
          Note("a file's entries are damaged");
          return;
        }
        std::vector<Cluster> clusters;
        if (!ReachAllocation(set.firstCluster, set.dataLength, set.NoFatChain(), set.IsFolder() ? &clusters : nullptr)) {
          return;
        }
        if (set.IsFolder()) {
          if (clusters.empty()) {
            Note("a folder has no clusters");
            return;
          }
          children.push_back(std::move(clusters));
        }
        ReachSecondaries(entries, i, set.entryCount, 2 + (set.nameUnits + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry);
        i += set.entryCount;
        continue;
      }
      if ((type & kBenignBit) == 0) {
        Note("a folder holds an entry of unknown kind");
        return;
      }
      // A benign primary of another kind: its own allocation, if it has one,
      // and its secondaries'.
      const std::size_t secondaries = SecondariesOf(entries, i);
      if (count - i - 1 < secondaries) {
        Note("a folder's entries run past its end");
        return;
      }
      if (disk::le8(e, kOffPrimaryFlags) & kAllocationPossible) {
        ReachAllocation(disk::le32(e, kOffFirstCluster), disk::le64(e, kOffDataLength),
                        (disk::le8(e, kOffPrimaryFlags) & kNoFatChain) != 0, nullptr);
      }
      ReachSecondaries(entries, i, secondaries + 1, 1);
      i += secondaries + 1;
    }
  }

  // Secondaries from index + from on (vendor allocations and the like) with
  // an allocation of their own.
  void ReachSecondaries(disk::Bytes entries, std::size_t index, std::size_t setLength, std::size_t from) {
    for (std::size_t k = from; k < setLength && out_.contradiction.empty(); ++k) {
      const disk::Bytes e = disk::ByteReader(entries).slice((index + k) * kEntrySize, kEntrySize);
      const std::uint8_t flags = disk::le8(e, kOffSecondaryFlags);
      if ((flags & kAllocationPossible) == 0 || disk::le32(e, kOffFirstCluster) == 0) continue;
      ReachAllocation(disk::le32(e, kOffFirstCluster), disk::le64(e, kOffDataLength), (flags & kNoFatChain) != 0,
                      nullptr);
    }
  }

  const disk::VolumeContext& ctx_;
  const ExfatVolume& v_;
  std::span<const std::uint8_t> bitmap_;
  LiveAllocation out_;
};

// Writes one directory cluster when the disk still holds what was read
// from it: a cluster changed meanwhile by someone else is left alone.
bool GuardedClusterWrite(const disk::VolumeContext& ctx, Cluster c, disk::Bytes expected, disk::Bytes image) {
  std::vector<std::uint8_t> now(expected.size());
  if (!ReadClusters(ctx, c, 1, now.data())) return false;
  if (!std::equal(now.begin(), now.end(), expected.begin())) return false;
  return WriteClusters(ctx, c, 1, image.data());
}

// The second phase: the deleted entries of every live directory.
void ReplaceFileInformation(disk::VolumeContext& ctx, disk::EngineHost& host, platform::RandomSource& random,
                            const LiveAllocation& live, disk::WipeResult& result) {
  const std::uint32_t bpc = VolumeOf(ctx).bytesPerCluster;
  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  if (progress) {
    progress->BeginCount("", live.directories.size() + 1);
    progress->ShowFileLabel();
    progress->SetFileName(kReplacingInfo);
  }
  std::vector<std::uint8_t> old;
  std::vector<std::uint8_t> noisy;
  std::vector<std::uint8_t> zeroed;
  for (std::size_t d = 0; d < live.directories.size(); ++d) {
    if (progress && !progress->Advance(d + 1)) {
      result.phase2Cancelled = true;
      break;
    }
    const std::vector<Cluster>& dir = live.directories[d];
    old.assign(dir.size() * static_cast<std::size_t>(bpc), 0);
    bool read = true;
    for (std::size_t k = 0; k < dir.size(); ++k) read = ReadClusters(ctx, dir[k], 1, old.data() + k * bpc) && read;
    const std::vector<std::uint8_t> slots = DeletedSlots(old);
    if (std::find(slots.begin(), slots.end(), 1) == slots.end()) continue;
    // The whole directory is scrubbed at once (a live set may run on into
    // the next cluster), then written cluster by cluster.
    noisy = old;
    ScrubDeletedEntries(noisy, random, ScrubPass::Random);
    zeroed = noisy;
    ScrubDeletedEntries(zeroed, random, ScrubPass::Zero);
    const std::size_t slotsPerCluster = bpc / kEntrySize;
    for (std::size_t k = 0; k < dir.size(); ++k) {
      const std::size_t count = static_cast<std::size_t>(
          std::count(slots.begin() + k * slotsPerCluster, slots.begin() + (k + 1) * slotsPerCluster, 1));
      if (count == 0) continue;
      const disk::Bytes before(old.data() + k * bpc, bpc);
      const disk::Bytes first(noisy.data() + k * bpc, bpc);
      const disk::Bytes last(zeroed.data() + k * bpc, bpc);
      const bool ok = read && GuardedClusterWrite(ctx, dir[k], before, first) &&
                      GuardedClusterWrite(ctx, dir[k], first, last);
      if (ok) result.entriesWiped += count;
      else result.entriesFailed += count;
    }
  }
}

}  // namespace

std::size_t ScrubDeletedEntries(std::span<std::uint8_t> directory, platform::RandomSource& random, ScrubPass pass) {
  const std::vector<std::uint8_t> slots = DeletedSlots(disk::Bytes(directory.data(), directory.size()));
  std::size_t scrubbed = 0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (!slots[i]) continue;
    std::uint8_t* entry = directory.data() + i * kEntrySize;
    if (pass == ScrubPass::Random) random.FillRandom(entry + 1, kEntrySize - 1);
    else std::memset(entry + 1, 0, kEntrySize - 1);
    ++scrubbed;
  }
  return scrubbed;
}

LiveAllocation MapLiveAllocation(const disk::VolumeContext& ctx, std::span<const std::uint8_t> bitmap) {
  return LiveMapper(ctx, bitmap).Run();
}

std::string ExfatWipeFailureText(const std::string& root, const disk::WipeResult& result) {
  return disk::WipeFailureText(root, result.clustersFailed, result.entriesFailed, "deleted directory entry",
                               "deleted directory entries");
}

std::optional<ExfatClusterSurvey> CheckExfatVolumeForWipe(disk::VolumeContext& ctx, disk::EngineHost& host,
                                                          disk::WipeResult& told) {
  ExfatVolume& v = VolumeOf(ctx);
  if (ctx.fsKind != disk::FsKind::Exfat || v.bytesPerCluster == 0 || v.lastCluster < kFirstCluster) {
    return std::nullopt;
  }
  const std::string& root = ctx.SearchedRoot;
  auto refuse = [&](const std::string& why) -> std::optional<ExfatClusterSurvey> {
    told.refused = true;
    host.ShowMessage(disk::DamagedVolumeText(root, why));
    return std::nullopt;
  };
  if (!v.bootChecksumOk) return refuse("its boot region fails its checksum");
  if (v.volumeFlags & kVolumeDirty) return refuse("it was not unmounted cleanly");
  if (v.lastCluster != v.clusterCount + 1ull) return refuse("the device is shorter than the volume");

  // Both bitmaps are read afresh before anything is written; when that
  // fails, no cluster can be told vacant.
  ExfatClusterSurvey survey;
  const bool secondActive = v.numberOfFats == 2 && (v.volumeFlags & 1) && v.bitmapExtents.size() == 2;
  survey.active = secondActive ? 1 : 0;
  if (v.bitmapExtents.empty() || !ReadBitmap(ctx, v.bitmapExtents[survey.active], survey.bitmap) ||
      (v.bitmapExtents.size() == 2 && !ReadBitmap(ctx, v.bitmapExtents[1 - survey.active], survey.other))) {
    told.allocationUnreadable = true;
    host.ShowMessage(BitmapUnreadableText(root));
    return std::nullopt;
  }
  std::unordered_map<std::uint32_t, std::vector<std::uint8_t>>().swap(v.fatBlocks);
  survey.live = MapLiveAllocation(ctx, survey.bitmap);
  if (!survey.live.contradiction.empty()) return refuse(survey.live.contradiction);
  return survey;
}

disk::WipeResult RunExfatWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                              platform::RandomSource& random, bool seedWithTime, ExfatClusterSurvey survey) {
  disk::WipeResult result;
  ExfatVolume& v = VolumeOf(ctx);
  const std::string& root = ctx.SearchedRoot;
  std::vector<std::uint8_t>& bitmap = survey.bitmap;
  const std::vector<std::uint8_t>& other = survey.other;
  const std::size_t active = survey.active;
  const std::uint32_t bpc = v.bytesPerCluster;
  // The bitmaps' own clusters, so that each run is checked against them
  // just before it is written: only the bitmap clusters that hold the
  // run's bits are read again. A bit a bitmap now sets (or that cannot be
  // read) is set in the wipe's copy, and the cluster spared.
  std::vector<std::vector<Cluster>> bitmapChains;
  for (std::size_t k = 0; k < v.bitmapExtents.size() && k < 2; ++k) {
    if (k != active && other.empty()) continue;
    bitmapChains.push_back(ChainClusters(ctx, v.bitmapExtents[k].firstCluster, ClustersFor(v, bitmap.size())));
  }
  std::vector<std::uint8_t> piece;
  auto recheckRun = [&](std::uint64_t c, std::uint32_t n) {
    const std::uint64_t from = (c - kFirstCluster) / 8 / bpc;
    const std::uint64_t to = (c + n - 1 - kFirstCluster) / 8 / bpc;
    piece.assign(static_cast<std::size_t>((to - from + 1) * bpc), 0);
    for (const std::vector<Cluster>& chain : bitmapChains) {
      bool read = to < chain.size();
      for (std::uint64_t i = from; read && i <= to; ++i) {
        read = ReadClusters(ctx, chain[i], 1, piece.data() + (i - from) * bpc);
      }
      for (std::uint64_t x = c; x < c + n; ++x) {
        const std::uint64_t bit = x - kFirstCluster;
        if (bit / 8 >= bitmap.size()) continue;
        if (!read || ((piece[bit / 8 - from * bpc] >> (bit % 8)) & 1) != 0) {
          bitmap[bit / 8] = static_cast<std::uint8_t>(bitmap[bit / 8] | (1u << (bit % 8)));
        }
      }
    }
  };
  const LiveAllocation& live = survey.live;
  auto vacant = [&](std::uint64_t c) {
    const auto cluster = static_cast<Cluster>(c);
    return !BitmapInUse(bitmap, cluster) && (other.empty() || !BitmapInUse(other, cluster)) && !live.Reached(cluster);
  };

  // Phase 1: vacant clusters.
  {
    const disk::VacantPass pass = disk::WipeVacantClusters(
        host, random, seedWithTime, bpc, kFirstCluster, v.lastCluster, v.lastCluster,
        // On a failed read the previous bits stay.
        [&](std::uint64_t) { ReadBitmap(ctx, v.bitmapExtents[active], bitmap); }, vacant, recheckRun,
        [&](std::uint64_t first, std::uint32_t count, const std::uint8_t* bytes) {
          return WriteClusters(ctx, static_cast<Cluster>(first), count, bytes);
        });
    result.clustersFailed += pass.failed;
    result.clustersWiped += pass.wiped;
    result.cancelled = pass.cancelled;
  }

  if (!result.cancelled) {
    op.OperationMode = disk::OpReplaceInfo;
    if (host.Ask(disk::QuestionId::ReplaceFileInformation, disk::ReplaceInfoQuestion(root))) {
      result.phase2Ran = true;
      ReplaceFileInformation(ctx, host, random, live, result);
    }
  }

  // Nothing is reported before the writes have reached the device.
  if (ctx.volumeHandle && !ctx.volumeHandle->Flush()) {
    result.flushFailed = true;
    host.ShowMessage("The writes to " + root +
                     " drive could not be completed (the device reported an error).\n\nWhat it held may still be "
                     "restored.");
  }
  const std::string failure = ExfatWipeFailureText(root, result);
  if (!failure.empty()) host.ShowMessage(failure);
  return result;
}

}  // namespace ambrelic::exfat
