// Which clusters of a FAT volume the wipe may overwrite, decided in this one
// place: a cluster is vacant only when every copy of the allocation table
// calls it free and no live file or folder reaches it. Where the sources
// contradict each other in a way only a damaged volume can (tables that
// should mirror each other differ, a live chain runs into free clusters,
// two live chains share a cluster), the volume is refused as a whole.
#pragma once

#include <cstdint>
#include <vector>

#include "disk/cluster_set.h"
#include "disk/cluster_survey.h"
#include "disk/volume_context.h"
#include "fat/allocation_table.h"

namespace ambrelic::fat {

// Why a volume must not be wiped. Each is a contradiction between the
// volume's own structures; a repair tool (fsck.fat, chkdsk) reports them
// too.
enum class FatDamage : std::uint8_t {
  None,
  Layout,             // sectors per cluster, root cluster or active table impossible
  BootCopiesDiffer,   // FAT32: the boot sector and its backup describe different layouts
  TooManyClusters,    // the boot sector counts more clusters than a table holds
  TablesDiffer,       // tables that mirror each other are not equal
  LiveInFree,         // a live chain runs into a cluster the table calls free
  SharedClusters,     // two live chains (or one with a loop) share a cluster
  FolderWithoutDots,  // a live folder does not start with its "." entry
  FileBeyondChain,    // a live file is longer than its chain
};

// The disputed clusters are those some table calls free that are not vacant
// (a table that does not mirror the active one); allocationUnreadable: a
// table copy could not be read.
struct FatClusterSurvey : disk::ClusterSurvey<FatDamage> {
  // Clusters of live folders: the only clusters whose deleted entries the
  // second phase may scrub.
  disk::ClusterSet liveFolders;
  bool foldersUnreadable = false; // a live folder could not be read

  bool Usable() const { return damage == FatDamage::None && !allocationUnreadable && !foldersUnreadable; }
};

// Reads every table copy and walks every live folder. The volume must be
// prepared (boot sector parsed).
FatClusterSurvey SurveyFatClusters(const disk::VolumeContext& ctx);

// Reads every table copy again and takes back the vacancy of each cluster
// that a copy no longer calls free (another program allocated it). False
// when a copy could not be read; what the copies before it said still
// counts.
bool RecheckFatTables(const disk::VolumeContext& ctx, FatClusterSurvey& survey);

// Reads the entries of clusters [first, first + count) again from every
// table copy (only the sectors that hold them) and takes back the vacancy
// of each one a copy no longer calls free: the wipe asks it of each run
// just before writing it, the run's last cluster as much as its first.
// False when a copy could not be read; the caller then spares the run.
bool RecheckFatRun(const disk::VolumeContext& ctx, FatClusterSurvey& survey, std::uint64_t first,
                   std::uint64_t count);

// The reason as the refusal message words it ("its allocation tables do not
// agree").
const char* FatDamageReason(FatDamage damage);

}  // namespace ambrelic::fat
