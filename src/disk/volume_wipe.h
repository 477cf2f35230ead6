// The ways into a volume's wipe, the same for every file system. An engine
// gives two functions and this piece gives the rest:
//   check(ctx, host, told) -> std::optional<Survey>: what may be
//     overwritten; on a volume it refuses, nothing, once the user has been
//     told why and `told` marked (refused, or allocationUnreadable);
//   run(ctx, op, host, random, seedWithTime, survey) -> WipeResult: both
//     phases and the question between them, over what the check found.
// A wipe without a random source of its own gets one seeded with the time
// when its first phase starts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "disk/operation_state.h"
#include "disk/sector_device.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "disk/wipe_report.h"
#include "platform/random.h"

namespace ambrelic::disk {

template <typename Survey, auto kCheck, auto kRun>
struct VolumeWipe {
  // The check alone, for a caller that asks the user before the run.
  std::optional<Survey> Check(VolumeContext& ctx, EngineHost& host) const {
    WipeResult told;
    return kCheck(ctx, host, told);
  }

  // The check and then the run: a refused volume is not written to.
  WipeResult operator()(VolumeContext& ctx, OperationState& op, EngineHost& host) const {
    platform::RandomSource random;
    return (*this)(ctx, op, host, random, true);
  }
  // The same with a given random source (already seeded, for tests).
  WipeResult operator()(VolumeContext& ctx, OperationState& op, EngineHost& host, platform::RandomSource& random,
                        bool seedWithTime) const {
    WipeResult told;
    std::optional<Survey> survey = kCheck(ctx, host, told);
    if (!survey) return told;
    return kRun(ctx, op, host, random, seedWithTime, std::move(*survey));
  }

  // The run over what a check found earlier.
  WipeResult operator()(VolumeContext& ctx, OperationState& op, EngineHost& host, Survey survey) const {
    platform::RandomSource random;
    return kRun(ctx, op, host, random, true, std::move(survey));
  }
};

// The end of a phase that wrote through the sector device: what was
// written is not yet on the disk, and until the flush has worked nothing of
// the phase counts as done.
inline void FlushPhase(const VolumeContext& ctx, std::uint64_t& done, std::uint64_t& failed) {
  if (FlushSectors(ctx)) return;
  failed += done;
  done = 0;
}

// The messages a wipe ends with: what could not be overwritten, then,
// unless the user cancelled, what was left because the volume's own
// records disagree on it (either empty: not told).
inline void TellWipeEnd(EngineHost& host, const WipeResult& result, const std::string& failure,
                        const std::string& disputed) {
  if (!failure.empty()) host.ShowMessage(failure);
  if (!result.cancelled && !disputed.empty()) host.ShowMessage(disputed);
}

}  // namespace ambrelic::disk
