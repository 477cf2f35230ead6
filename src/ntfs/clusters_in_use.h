// Which clusters of an NTFS volume the wipe may overwrite, decided in this
// one place: a cluster is vacant only when the volume bitmap, read whole
// through every extent, calls it free and no record in use claims it in a
// run of any of its attributes. Where the sources contradict each other in
// a way only a damaged volume can (the bitmap calls the file system's own
// clusters or a live file's clusters free, two live files share a cluster,
// a record in use cannot be read), the volume is refused as a whole.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "disk/cluster_set.h"
#include "disk/cluster_survey.h"
#include "disk/volume_context.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// Why a volume must not be wiped.
enum class NtfsDamage : std::uint8_t {
  None,
  BitmapIncomplete,  // the volume bitmap's runs do not reach all of it
  SystemFree,        // the bitmap calls clusters of records 0-15 (or the boot sector) free
  SystemRecordFree,  // the MFT calls one of the file system's own records (0-11) free
  LiveInFree,        // the bitmap calls clusters of a file in use free
  SharedClusters,    // two attributes in use claim one cluster
  RecordUnreadable,  // a record in use is torn or its attributes or runs cannot be read
  MftIncomplete,     // the MFT's runs or its bitmap do not reach every record
};

// The run list of one extent (ReadRunList), appended to out only when it
// passes checks stricter than the search needs: false for an entry the
// list cannot hold, a run of no clusters, a cluster outside the volume's
// `volumeClusters`, a list without its end, or runs that do not cover the
// extent's VCNs; out then holds the runs before the fault.
bool DecodeRuns(const RunList& list, std::uint64_t volumeClusters, std::vector<ClusterRun>& out);
bool DecodeRuns(const Attribute& extent, std::uint64_t volumeClusters, std::vector<ClusterRun>& out);

// The runs of a record's unnamed attribute of `type` through every extent
// (the attribute list followed), or its value when resident. None when an
// extent is missing or its runs cannot be decoded.
struct AttributeRuns {
  bool resident = false;
  std::vector<std::uint8_t> value;  // resident only
  std::vector<ClusterRun> runs;
  std::uint64_t realSize = 0;
  // Bytes from here to realSize read as zeros whatever the disk holds.
  std::uint64_t initializedSize = 0;
};
std::optional<AttributeRuns> CollectRuns(const disk::VolumeContext& ctx, disk::Bytes baseRecord, std::uint32_t type);

// The value of such an attribute, realSize bytes but no more than maxBytes
// (what the caller can use of it); false when a part of that is sparse, not
// mapped or cannot be read.
bool ReadWholeValue(const disk::VolumeContext& ctx, const AttributeRuns& attribute, std::vector<std::uint8_t>& out,
                    std::uint64_t maxBytes = ~std::uint64_t{0});

// Vacant clusters go no further than the device. The disputed clusters are
// those the bitmap calls free that a record claims whose header and MFT
// bitmap disagree on its use; allocationUnreadable: the bitmap's clusters
// could not be read.
struct NtfsClusterSurvey : disk::ClusterSurvey<NtfsDamage> {
  // Records the MFT bitmap or their own header calls in use: never
  // scrubbed.
  disk::ClusterSet recordsInUse;
  // Deleted records (16 on) that the MFT bitmap still calls in use: left.
  std::uint64_t disputedRecords = 0;
  // Deleted records (16 on, free by both accounts) whose update sequence
  // is torn (ApplyFixups): never scrubbed, and told with the disputed ones.
  std::uint64_t tornRecords = 0;
  // The bitmap's attribute, for the re-reads during the wipe.
  AttributeRuns bitmap;

  bool Usable() const { return damage == NtfsDamage::None && !allocationUnreadable; }
};

// Reads the volume bitmap, the MFT bitmap and every record the MFT holds.
// The volume must be prepared (boot sector, mftSelfRecord, lastCluster).
NtfsClusterSurvey SurveyNtfsClusters(const disk::VolumeContext& ctx);

// Reads the volume bitmap again and takes back the vacancy of each cluster
// it now calls in use. False when it could not be read whole.
bool RecheckVolumeBitmap(const disk::VolumeContext& ctx, NtfsClusterSurvey& survey);

// Reads again the bits of clusters [first, first + count) (only the bitmap
// clusters that hold them) and takes back the vacancy of each one the
// bitmap now calls in use: the wipe asks it of each run just before
// writing it, the run's last cluster as much as its first. False when the
// bitmap could not be read; the caller then spares the run.
bool RecheckVolumeBitmapRun(const disk::VolumeContext& ctx, NtfsClusterSurvey& survey, std::uint64_t first,
                            std::uint64_t count);

// The reason as the refusal message words it.
const char* NtfsDamageReason(NtfsDamage damage);

}  // namespace ambrelic::ntfs
