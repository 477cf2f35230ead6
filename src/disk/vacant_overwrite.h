// The wipe's pass over a run of vacant clusters, shared by the FAT and
// exFAT wipes: random bytes, then zeros, each written in one call when the
// device takes it, else a cluster at a time, so that only the clusters that
// refused a pass count as not overwritten.
#pragma once

#include <cstdint>
#include <cstring>
#include <vector>

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

}  // namespace ambrelic::disk
