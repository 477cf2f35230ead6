// The FAT wipe: vacant clusters overwritten with random bytes and then
// zeros, and, when the user agrees, what deleted directory entries still
// say about their files. The only FAT code that writes to the volume.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "disk/volume_wipe.h"
#include "disk/wipe_report.h"
#include "fat/clusters_in_use.h"
#include "platform/random.h"

namespace ambrelic::fat {

// The check the wipe makes before it asks anything: which clusters are
// provably vacant (SurveyFatClusters). When the volume is damaged or its
// tables or folders cannot be read, the user is told why and that nothing
// was written, `told` is marked (allocationUnreadable when a table could
// not be read, else refused), and there is nothing to wipe with.
std::optional<FatClusterSurvey> CheckFatVolumeForWipe(const disk::VolumeContext& ctx, disk::EngineHost& host,
                                                      disk::WipeResult& told);

// Both phases and the question between them, over the clusters the survey
// calls vacant. The volume must be prepared (boot sector parsed, fatCopy
// loaded) and open for writing. The random source is seeded with the time
// at the start of phase 1 when seedWithTime is set. Each phase ends with
// the device flushed. When writes failed, or clusters were left because
// the tables disagree on them, the user is told how many.
disk::WipeResult RunFatWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                            platform::RandomSource& random, bool seedWithTime, FatClusterSurvey survey);

// The wipe's ways in: the check and both phases, or both phases over what
// a check found; with a random source seeded with the time, or a given one.
inline constexpr disk::VolumeWipe<FatClusterSurvey, CheckFatVolumeForWipe, RunFatWipe> WipeFatVolume{};

// Overwrites the deleted entries (first byte 0xE5) of a directory region of
// sectorCount sectors read from firstSector: bytes 1 to 31 random, written,
// then zeros, written. A region without deleted entries is not written.
// Adds to the counters of result.
void WipeDeletedEntries(const disk::VolumeContext& ctx, platform::RandomSource& random, std::uint32_t firstSector,
                        std::span<std::uint8_t> region, std::uint32_t sectorCount, disk::WipeResult& result);

// "N vacant clusters and M deleted entries on C:\ drive could not be
// overwritten." with only the parts that are not zero; empty when nothing
// failed.
std::string FatWipeFailureText(const std::string& root, const disk::WipeResult& result);
// "N clusters on C:\ drive were not overwritten: ..."; empty when the
// tables agreed everywhere.
std::string FatWipeDisputedText(const std::string& root, const disk::WipeResult& result);

// The question between the two phases.
using disk::ReplaceInfoQuestion;

}  // namespace ambrelic::fat
