// The wipe's pass over a run of vacant clusters, shared by the FAT, exFAT
// and NTFS wipes: random bytes, then zeros, each written in one call when
// the device takes it, else a cluster at a time, so that only the clusters
// that refused a pass count as not overwritten.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "disk/sinks.h"
#include "platform/random.h"

namespace ambrelic::disk {

class VacantOverwrite {
 public:
  // Runs of at most batchClusters clusters of clusterBytes each.
  VacantOverwrite(std::size_t clusterBytes, std::uint32_t batchClusters, platform::RandomSource& random)
      : clusterBytes_(clusterBytes), buffer_(clusterBytes * batchClusters), failed_(batchClusters), random_(random) {}

  // Overwrites the n clusters from `first` through writeRun(first, count,
  // bytes), true when that write worked. Returns how many of them could not
  // be overwritten.
  template <typename WriteRun>
  std::uint32_t Run(std::uint64_t first, std::uint32_t n, WriteRun&& writeRun) {
    const std::size_t bytes = static_cast<std::size_t>(n) * clusterBytes_;
    std::fill(failed_.begin(), failed_.begin() + n, 0);
    random_.FillRandom(buffer_.data(), bytes);
    Pass(first, n, writeRun);
    std::memset(buffer_.data(), 0, bytes);
    Pass(first, n, writeRun);
    std::uint32_t lost = 0;
    for (std::uint32_t i = 0; i < n; ++i) lost += failed_[i];
    return lost;
  }

 private:
  template <typename WriteRun>
  void Pass(std::uint64_t first, std::uint32_t n, WriteRun& writeRun) {
    if (writeRun(first, n, buffer_.data())) return;
    for (std::uint32_t i = 0; i < n; ++i) {
      if (!writeRun(first + i, 1, buffer_.data() + static_cast<std::size_t>(i) * clusterBytes_)) failed_[i] = 1;
    }
  }

  std::size_t clusterBytes_;
  std::vector<std::uint8_t> buffer_;
  std::vector<std::uint8_t> failed_;
  platform::RandomSource& random_;
};

// What the vacant-cluster pass did.
struct VacantPass {
  std::uint64_t wiped = 0;
  std::uint64_t failed = 0;
  bool cancelled = false;
};

// The first phase of the FAT, exFAT and NTFS wipes over clusters first ..
// last: every run of consecutive vacant clusters (vacant(c)) is checked
// again just before it is written (recheck(c, n) spares what another
// program took since, the run's last cluster as much as its first), then
// overwritten through writeRun. Every refreshInterval, refresh(c) reads the
// allocation again for the clusters still to come. The progress advances a
// cluster at a time; Cancel ends the pass.
template <typename Refresh, typename Vacant, typename Recheck, typename WriteRun>
VacantPass OverwriteVacantClusters(ProgressSink* progress, VacantOverwrite& overwrite, std::uint32_t batchClusters,
                                   std::uint64_t first, std::uint64_t last, std::chrono::milliseconds refreshInterval,
                                   Refresh&& refresh, Vacant&& vacant, Recheck&& recheck, WriteRun&& writeRun) {
  VacantPass pass;
  auto refreshed = std::chrono::steady_clock::now();
  for (std::uint64_t c = first; c <= last;) {
    const auto now = std::chrono::steady_clock::now();
    if (now - refreshed > refreshInterval) {
      refresh(c);
      refreshed = now;
    }
    // A run of consecutive vacant clusters from c (or c alone, used).
    std::uint32_t n = 0;
    while (n < batchClusters && c + n <= last && vacant(c + n)) ++n;
    if (n > 0) {
      recheck(c, n);
      std::uint32_t still = 0;
      while (still < n && vacant(c + still)) ++still;
      n = still;
    }
    const std::uint32_t step = n == 0 ? 1 : n;
    if (n > 0) {
      const std::uint32_t lost = overwrite.Run(c, n, writeRun);
      pass.failed += lost;
      pass.wiped += n - lost;
    }
    for (std::uint32_t i = 0; i < step; ++i) {
      if (progress && !progress->Advance(c + i)) {
        pass.cancelled = true;
        break;
      }
    }
    if (pass.cancelled) break;
    c += step;
  }
  return pass;
}

// The whole first phase as every wipe runs it: a progress window counting
// to progressTotal under "Replacing vacant clusters.", the random source
// seeded (from the time, unless a caller fixed it), then the pass above in
// runs of up to 1 MiB, the allocation read again every 30 seconds.
template <typename Refresh, typename Vacant, typename Recheck, typename WriteRun>
VacantPass WipeVacantClusters(EngineHost& host, platform::RandomSource& random, bool seedWithTime,
                              std::size_t clusterBytes, std::uint64_t first, std::uint64_t last,
                              std::uint64_t progressTotal, Refresh&& refresh, Vacant&& vacant, Recheck&& recheck,
                              WriteRun&& writeRun) {
  // Consecutive vacant clusters are written together, up to this many
  // bytes: the same bytes land on the disk as cluster by cluster, in fewer
  // calls.
  constexpr std::size_t kBatchBytes = 1u << 20;
  // Other programs may allocate clusters while the wipe runs (a second
  // program could open an image): the allocation is read again after this
  // long, so that their clusters are spared.
  constexpr std::chrono::milliseconds kRefreshInterval{30000};
  const auto batch = static_cast<std::uint32_t>(std::max<std::size_t>(1, kBatchBytes / clusterBytes));
  VacantOverwrite overwrite(clusterBytes, batch, random);
  std::unique_ptr<ProgressSink> progress = host.OpenProgress();
  if (progress) {
    progress->BeginCount("Cluster:", progressTotal);
    progress->ShowFileLabel();
    progress->SetFileName("Replacing vacant clusters.");
  }
  if (seedWithTime) random.SeedWithTime();
  return OverwriteVacantClusters(progress.get(), overwrite, batch, first, last, kRefreshInterval, refresh, vacant,
                                 recheck, writeRun);
}

}  // namespace ambrelic::disk
