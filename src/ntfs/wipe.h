// The NTFS wipe: clusters the volume bitmap marks free overwritten with
// random bytes and then zeros, and, when the user agrees, every deleted file
// record of the MFT scrubbed to an empty but well-formed record. The only
// NTFS code that writes to the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/cluster_set.h"
#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "disk/volume_wipe.h"
#include "disk/wipe_report.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/mft_record.h"
#include "platform/random.h"

namespace ambrelic::ntfs {

enum class ScrubPass : std::uint8_t { Random, Zero };

// The check the wipe makes before it asks anything: which clusters are
// provably vacant and which records in use (SurveyNtfsClusters). When the
// volume is damaged or its bitmap cannot be read, the user is told why and
// that nothing was written, `told` is marked (allocationUnreadable when the
// bitmap could not be read, else refused), and there is nothing to wipe
// with.
std::optional<NtfsClusterSurvey> CheckNtfsVolumeForWipe(const disk::VolumeContext& ctx, disk::EngineHost& host,
                                                        disk::WipeResult& told);

// The vacant-cluster pass over the clusters the survey calls vacant, the
// question, and the record pass when the user agrees. The volume must be
// prepared (boot sector, mftSelfRecord, lastCluster) and open for writing.
// Each pass ends with the device flushed. When writes failed, or clusters
// or records were left because the volume's records disagree on them, the
// user is told how many.
disk::WipeResult RunNtfsWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                             platform::RandomSource& random, bool seedWithTime, NtfsClusterSurvey survey);

// The wipe's ways in: the check and both passes, or both passes over what
// a check found; with a random source seeded with the time, or a given one.
inline constexpr disk::VolumeWipe<NtfsClusterSurvey, CheckNtfsVolumeForWipe, RunNtfsWipe> WipeVacantNtfsClusters{};

// The record pass alone; adds to result. Records in `keep` (the survey's
// records in use) are never scrubbed.
void ReplaceFileRecords(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        platform::RandomSource& random, disk::WipeResult& result, const disk::ClusterSet* keep = nullptr);

// Rewrites, inside buffer (consecutive records in their on-disk form, the
// first numbered firstRecord), every record from 16 on that carries "FILE",
// is not in use and is not in `keep`. Random pass: the scrubbed header (an
// update sequence of one zero entry per 512 bytes, then the end marker),
// random bytes after it (from 0x40 on in a 1 KiB record, 0x50 in a 4 KiB
// one). Zero pass: zeros there. Returns how many records qualified.
std::uint32_t ScrubDeletedRecords(const disk::VolumeContext& ctx, platform::RandomSource& random,
                                  RecordNumber firstRecord, std::span<std::uint8_t> buffer, std::size_t length,
                                  ScrubPass pass, const disk::ClusterSet* keep = nullptr);

// What one guarded write did.
struct GuardedWriteResult {
  std::uint32_t piecesWritten = 0;
  std::uint32_t piecesFailed = 0;   // the write itself failed
  std::uint32_t piecesSkipped = 0;  // the disk no longer held the old image
};

// Writes the new image of count MFT clusters from vcn where it differs from
// the old image, piece by piece (a piece = the clusters one data run holds
// contiguously), and only where the disk still holds the old image right
// before the write.
GuardedWriteResult GuardedMftWrite(const disk::VolumeContext& ctx, Vcn vcn, std::uint32_t count,
                                   std::span<const std::uint8_t> oldImage, std::span<const std::uint8_t> newImage,
                                   std::size_t length);

std::string NtfsWipeFailureText(const std::string& root, const disk::WipeResult& result);
// "N clusters and M deleted file records on C:\ drive were not
// overwritten: ..."; empty when the volume's records agreed everywhere.
std::string NtfsWipeDisputedText(const std::string& root, const disk::WipeResult& result);

// The question between the two phases.
std::string ReplaceRecordsQuestion(const std::string& root);

}  // namespace ambrelic::ntfs
