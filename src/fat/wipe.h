// The FAT wipe: vacant clusters overwritten with random bytes and then
// zeros, and, when the user agrees, what deleted directory entries still
// say about their files. The only FAT code that writes to the volume.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "platform/random.h"

namespace ambrelic::fat {

// What a wipe did, for the caller and the tests.
struct FatWipeResult {
  bool cancelled = false;          // Cancel during phase 1 ended everything
  bool phase2Ran = false;          // the user agreed to replace file information
  bool tableUnreadable = false;    // the allocation table could not be read: nothing written
  std::uint64_t clustersWiped = 0;
  std::uint64_t clustersFailed = 0;  // vacant clusters with a failed write
  std::uint64_t entriesWiped = 0;
  std::uint64_t entriesFailed = 0;   // deleted entries in a region whose write failed
};

// Both phases and the question between them. The volume must be prepared
// (boot sector parsed, fatCopy loaded) and open for writing. The random
// source is seeded with the time at the start of phase 1. When writes
// failed, the user is told how many clusters or entries kept their old
// bytes.
FatWipeResult WipeFatVolume(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host);
// The same with a given random source (already seeded), for tests.
FatWipeResult WipeFatVolume(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                            platform::RandomSource& random, bool seedWithTime);

// Overwrites the deleted entries (first byte 0xE5) of a directory region of
// sectorCount sectors read from firstSector: bytes 1 to 31 random, written,
// then zeros, written. A region without deleted entries is not written.
// Adds to the counters of result.
void WipeDeletedEntries(const disk::VolumeContext& ctx, platform::RandomSource& random, std::uint32_t firstSector,
                        std::span<std::uint8_t> region, std::uint32_t sectorCount, FatWipeResult& result);

// "N vacant clusters and M deleted entries on C:\ drive could not be
// overwritten." with only the parts that are not zero; empty when nothing
// failed.
std::string FatWipeFailureText(const std::string& root, const FatWipeResult& result);

// The question between the two phases.
std::string ReplaceInfoQuestion(const std::string& root);

}  // namespace ambrelic::fat
