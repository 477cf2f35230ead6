// The walks along clusters that the FAT and exFAT engines share: along an
// allocation chain, which must end where it comes back on itself, and, where
// a deleted file's chain is gone, through the clusters after it.
#pragma once

#include <algorithm>
#include <cstdint>
#include <unordered_set>
#include <vector>

namespace ambrelic::disk {

// The clusters a walk along a chain has passed: Pass(c) is false when c was
// passed already (the chain comes back on itself and ends there). Most
// chains are short: they are looked through; a long one is kept in a set.
class PassedClusters {
 public:
  bool Pass(std::uint64_t c) {
    if (set_.empty()) {
      if (std::find(few_.begin(), few_.end(), c) != few_.end()) return false;
      if (few_.size() < kFew) {
        few_.push_back(c);
        return true;
      }
      set_.insert(few_.begin(), few_.end());
    }
    return set_.insert(c).second;
  }

 private:
  static constexpr std::size_t kFew = 16;
  std::vector<std::uint64_t> few_;
  std::unordered_set<std::uint64_t> set_;
};

// The order in which a restore takes the clusters of a deleted file whose
// chain is gone, shared by the FAT and exFAT restores and by the condition
// that tells how much of it is still free: the clusters after a start in
// ascending order, wrapping once from the last cluster to cluster 2, and
// ending before the file's first cluster comes round again (taking it again
// would repeat the file's start).
class WrappingClusterOrder {
 public:
  // At `from`; first is the file's first cluster.
  WrappingClusterOrder(std::uint64_t first, std::uint64_t from, std::uint64_t lastCluster)
      : first_(first), at_(from), last_(lastCluster) {}

  std::uint64_t at() const { return at_; }
  // Steps to the next cluster; false once every cluster has been offered.
  bool Next() {
    ++at_;
    if (at_ > last_) {
      if (wrapped_) return false;
      at_ = 2;
      wrapped_ = true;
    }
    return !(wrapped_ && at_ >= first_);
  }

 private:
  std::uint64_t first_;
  std::uint64_t at_;
  std::uint64_t last_;
  bool wrapped_ = false;
};

}  // namespace ambrelic::disk
