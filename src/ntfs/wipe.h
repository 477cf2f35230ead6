// The NTFS wipe: clusters the volume bitmap marks free overwritten with
// random bytes and then zeros, and, when the user agrees, every deleted file
// record of the MFT scrubbed to an empty but well-formed record. The only
// NTFS code that writes to the volume.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"
#include "platform/random.h"

namespace ambrelic::ntfs {

struct NtfsWipeResult {
  bool cancelled = false;          // Cancel during the cluster pass ended everything
  bool recordsRan = false;         // the user agreed to replace file records
  bool bitmapUnreadable = false;   // the volume bitmap could not be read: nothing written
  std::uint64_t clustersWiped = 0;
  std::uint64_t clustersFailed = 0;  // free clusters with a failed write
  std::uint64_t recordsScrubbed = 0;
  std::uint64_t recordsFailed = 0;   // deleted records in a piece whose write failed
  std::uint64_t piecesSkipped = 0;   // MFT pieces changed on disk between read and write
};

enum class ScrubPass : std::uint8_t { Random, Zero };

// The vacant-cluster pass, the question, and the record pass when the user
// agrees. The volume must be prepared (boot sector, mftSelfRecord,
// lastCluster) and open for writing. When writes failed, the user is told
// how many clusters or records kept their old bytes.
NtfsWipeResult WipeVacantNtfsClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);
NtfsWipeResult WipeVacantNtfsClusters(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                                      platform::RandomSource& random, bool seedWithTime);

// The record pass alone; adds to result.
void ReplaceFileRecords(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        platform::RandomSource& random, NtfsWipeResult& result);

// Rewrites, inside buffer (consecutive records in their on-disk form, the
// first numbered firstRecord), every record from 16 on that carries "FILE"
// and is not in use. Random pass: the scrubbed header (an update sequence
// of one zero entry per 512 bytes, then the end marker), random bytes after
// it (from 0x40 on in a 1 KiB record, 0x50 in a 4 KiB one). Zero pass:
// zeros there. Returns how many records qualified.
std::uint32_t ScrubDeletedRecords(const disk::VolumeContext& ctx, platform::RandomSource& random,
                                  RecordNumber firstRecord, std::span<std::uint8_t> buffer, std::size_t length,
                                  ScrubPass pass);

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

std::string NtfsWipeFailureText(const std::string& root, const NtfsWipeResult& result);

// The question between the two phases.
std::string ReplaceRecordsQuestion(const std::string& root);

}  // namespace ambrelic::ntfs
