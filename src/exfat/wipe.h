// The exFAT wipe: vacant clusters overwritten with random bytes and then
// zeros, and, when the user agrees, what deleted entry sets still say about
// their files. The only exFAT code that writes to the volume.
//
// A cluster is vacant only when every source of allocation calls it free:
// the allocation bitmap (both, on a volume with two FATs) and the live
// entry sets, whose clusters are mapped from the root down before anything
// is written. A volume whose sources disagree (a live file on clusters the
// bitmap calls free, two files on one cluster, a chain that breaks), that
// was not unmounted cleanly, whose boot region fails its checksum or that
// the device does not hold whole is refused: nothing is written.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "disk/cluster_set.h"
#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "disk/volume_wipe.h"
#include "disk/wipe_report.h"
#include "exfat/allocation.h"
#include "platform/random.h"

namespace ambrelic::exfat {

// Every cluster the live entry sets reach, from the root down, and the
// clusters of each live directory (root first). contradiction names the
// first disagreement found, empty when there is none.
struct LiveAllocation {
  disk::ClusterSet reached;  // by cluster number
  std::vector<std::vector<Cluster>> directories;
  std::string contradiction;
  bool Reached(Cluster c) const { return reached.Test(c); }
};
LiveAllocation MapLiveAllocation(const disk::VolumeContext& ctx, std::span<const std::uint8_t> bitmap);

// What the check before any write found: both bitmaps as read, which one
// is active, and what the live entry sets reach.
struct ExfatClusterSurvey {
  std::vector<std::uint8_t> bitmap;  // the active one
  std::vector<std::uint8_t> other;   // the second, on a volume with two FATs
  std::size_t active = 0;
  LiveAllocation live;
};

// The check a wipe makes before anything is written, and before the user
// is asked anything: empty when the volume is refused (told with the
// reason, told.refused set) or its bitmap cannot be read (told,
// told.allocationUnreadable set), or when it is no usable exFAT volume.
std::optional<ExfatClusterSurvey> CheckExfatVolumeForWipe(disk::VolumeContext& ctx, disk::EngineHost& host,
                                                          disk::WipeResult& told);

// Both phases and the question between them, over what the check found.
// The volume must be prepared and open for writing.
disk::WipeResult RunExfatWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                              platform::RandomSource& random, bool seedWithTime, ExfatClusterSurvey survey);

// The wipe's ways in: the check and both phases, or both phases over what
// a check found; with a random source seeded with the time, or a given one.
inline constexpr disk::VolumeWipe<ExfatClusterSurvey, CheckExfatVolumeForWipe, RunExfatWipe> WipeExfatVolume{};

// Scrubs the deleted entries of one directory's bytes in place: every entry
// outside a live set whose type is not 0 and has its in-use bit clear keeps
// its type byte and gets random bytes (pass Random) or zeros (pass Zero)
// after it. Returns how many entries were scrubbed. Only type bytes and live
// sets decide which, so the zero pass over the random pass's result scrubs
// the same entries.
enum class ScrubPass : std::uint8_t { Random, Zero };
std::size_t ScrubDeletedEntries(std::span<std::uint8_t> directory, platform::RandomSource& random, ScrubPass pass);

std::string ExfatWipeFailureText(const std::string& root, const disk::WipeResult& result);

}  // namespace ambrelic::exfat
