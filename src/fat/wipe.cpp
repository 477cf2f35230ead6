#include "fat/wipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <new>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/sector_device.h"
#include "disk/vacant_overwrite.h"
#include "disk/wipe_report.h"
#include "fat/allocation_table.h"
#include "fat/directory_walk.h"

namespace ambrelic::fat {
namespace {

constexpr std::uint8_t kDeletedMarker = 0xE5;
constexpr std::size_t kEntrySize = 32;

// Reads the first allocation table into table. False (table unchanged)
// when the read failed: a table of zeros would make every cluster vacant.
// Only the entries of the volume's clusters are read (LoadedTableSectors);
// a table that cannot be held in memory counts as unreadable.
bool ReadAllocationTable(const disk::VolumeContext& ctx, std::vector<std::uint8_t>& table) {
  const std::uint32_t sectors = LoadedTableSectors(ctx);
  try {
    std::vector<std::uint8_t> fresh(static_cast<std::size_t>(sectors) * ctx.bytesPerSector);
    if (fresh.empty() || !disk::ReadSectors(ctx, ctx.fatStartSector, sectors, fresh.data())) return false;
    table.swap(fresh);
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

std::string TableUnreadableText(const std::string& root) {
  return "The allocation table of " + root + " drive could not be read.\n\nNothing has been overwritten.";
}

// A directory region the second phase may write: a sector of the fixed
// root folder, or a cluster of a live folder (or a vacant one, which phase
// 1 has already zeroed).
bool MayScrubRegion(const disk::VolumeContext& ctx, const FatClusterSurvey& survey, std::uint32_t firstSector) {
  if (ctx.rootCluster == 0 && firstSector >= ctx.rootDirSector && firstSector < ctx.dataStartSector) return true;
  if (firstSector < ctx.dataStartSector || ctx.sectorsPerCluster == 0) return false;
  const std::uint64_t c = 2 + (firstSector - ctx.dataStartSector) / ctx.sectorsPerCluster;
  return survey.liveFolders.Test(c) || survey.vacant.Test(c);
}

// Why nothing will be written, for a survey that is not usable.
void TellRefusal(const disk::VolumeContext& ctx, disk::EngineHost& host, const FatClusterSurvey& survey) {
  if (survey.damage != FatDamage::None) {
    host.ShowMessage(disk::DamagedVolumeText(ctx.SearchedRoot, FatDamageReason(survey.damage)));
  } else if (survey.allocationUnreadable) {
    host.ShowMessage(TableUnreadableText(ctx.SearchedRoot));
  } else {
    host.ShowMessage("The folders of " + ctx.SearchedRoot + " drive could not be read.\n\nNothing has been overwritten.");
  }
}

}  // namespace

std::string FatWipeFailureText(const std::string& root, const disk::WipeResult& result) {
  return disk::WipeFailureText(root, result.clustersFailed, result.entriesFailed, "deleted directory entry",
                               "deleted directory entries");
}

void WipeDeletedEntries(const disk::VolumeContext& ctx, platform::RandomSource& random, std::uint32_t firstSector,
                        std::span<std::uint8_t> region, std::uint32_t sectorCount, disk::WipeResult& result) {
  const std::size_t bytes =
      std::min<std::size_t>(region.size(), static_cast<std::size_t>(sectorCount) * ctx.bytesPerSector);
  std::uint64_t deleted = 0;
  for (std::size_t at = 0; disk::Fits(at, kEntrySize, bytes); at += kEntrySize) {
    if (region[at] != kDeletedMarker) continue;
    random.FillRandom(region.data() + at + 1, kEntrySize - 1);
    ++deleted;
  }
  if (deleted == 0) return;
  bool ok = disk::WriteSectors(ctx, firstSector, sectorCount, region.data());
  for (std::size_t at = 0; disk::Fits(at, kEntrySize, bytes); at += kEntrySize) {
    if (region[at] == kDeletedMarker) std::memset(region.data() + at + 1, 0, kEntrySize - 1);
  }
  ok = disk::WriteSectors(ctx, firstSector, sectorCount, region.data()) && ok;
  if (ok) result.entriesWiped += deleted;
  else result.entriesFailed += deleted;
}

std::string FatWipeDisputedText(const std::string& root, const disk::WipeResult& result) {
  return disk::DisputedText(root, result.clustersDisputed, 0, "", "");
}

std::optional<FatClusterSurvey> CheckFatVolumeForWipe(const disk::VolumeContext& ctx, disk::EngineHost& host,
                                                      disk::WipeResult& told) {
  return disk::UsableOrRefused(SurveyFatClusters(ctx), told,
                               [&](const FatClusterSurvey& survey) { TellRefusal(ctx, host, survey); });
}

disk::WipeResult RunFatWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                            platform::RandomSource& random, bool seedWithTime, FatClusterSurvey survey) {
  disk::WipeResult result;
  const std::uint32_t bpc = ctx.bytesPerCluster;
  if (!disk::IsFat(ctx.fsKind) || bpc == 0 || ctx.sectorsPerCluster == 0 || ctx.lastCluster < 2 ||
      survey.vacant.size() != ctx.lastCluster + 1) {
    result.refused = true;
    return result;
  }
  result.clustersDisputed = survey.disputedClusters;
  // The tables are read afresh before anything is written: the survey may
  // be as old as the user's answers. When even that fails, no cluster can
  // be told vacant and nothing is written.
  if (!ReadAllocationTable(ctx, ctx.fatCopy) || !RecheckFatTables(ctx, survey)) {
    result.allocationUnreadable = true;
    host.ShowMessage(TableUnreadableText(ctx.SearchedRoot));
    return result;
  }

  // Phase 1: vacant clusters.
  {
    const std::uint64_t lastCluster = std::min<std::uint64_t>(ctx.lastCluster, 0xFFFFFFFFu);
    const disk::VacantPass pass = disk::WipeVacantClusters(
        host, random, seedWithTime, bpc, 2, lastCluster, ctx.lastCluster,
        [&](std::uint64_t c) {
          // Whatever a copy no longer calls free is spared; a table that
          // cannot be read any more spares everything still to come.
          if (!ReadAllocationTable(ctx, ctx.fatCopy) || !RecheckFatTables(ctx, survey)) {
            survey.vacant.ClearRange(c, lastCluster - c + 1);
          }
        },
        [&](std::uint64_t c) { return survey.vacant.Test(c); },
        // The run's entries are read again: a table that cannot be read
        // spares the run.
        [&](std::uint64_t c, std::uint32_t n) {
          if (!RecheckFatRun(ctx, survey, c, n)) survey.vacant.ClearRange(c, n);
        },
        [&](std::uint64_t first, std::uint32_t count, const std::uint8_t* bytes) {
          return disk::WriteSectors(ctx, ClusterToSector(ctx, static_cast<Cluster>(first)),
                                    count * ctx.sectorsPerCluster, bytes);
        });
    result.clustersFailed += pass.failed;
    result.clustersWiped += pass.wiped;
    result.cancelled = pass.cancelled;
  }
  disk::FlushPhase(ctx, result.clustersWiped, result.clustersFailed);

  // The question says the vacant clusters have been replaced: it is asked
  // only when they have.
  if (!result.cancelled && result.clustersFailed == 0) {
    op.OperationMode = disk::OpReplaceInfo;
    if (host.Ask(disk::QuestionId::ReplaceFileInformation, ReplaceInfoQuestion(ctx.SearchedRoot))) {
      // Phase 2: the search walk, writing each directory region that holds
      // deleted entries. fatWork follows the table as phase 1 last read it.
      // Only the root folder and clusters of live folders are written: a
      // deleted folder's cluster that is not vacant may belong to a file.
      result.phase2Ran = true;
      ctx.fatWork = ctx.fatCopy;
      WalkHooks hooks;
      hooks.replaceRegion = [&](std::uint32_t firstSector, std::span<std::uint8_t> region,
                                std::uint32_t sectorCount) {
        if (!MayScrubRegion(ctx, survey, firstSector)) return;
        WipeDeletedEntries(ctx, random, firstSector, region, sectorCount, result);
      };
      SearchFat(ctx, op, host, hooks);
      std::vector<std::uint8_t>().swap(ctx.fatWork);
      result.phase2Cancelled = op.SearchCancelled == 1;
      disk::FlushPhase(ctx, result.entriesWiped, result.entriesFailed);
    }
  }

  disk::TellWipeEnd(host, result, FatWipeFailureText(ctx.SearchedRoot, result),
                    FatWipeDisputedText(ctx.SearchedRoot, result));
  return result;
}

}  // namespace ambrelic::fat
