// What an exFAT row's restore works from beyond the row's texts: the
// facts of its entry set's stream extension. The exFAT engine notes one per
// row it lists and the front ends hand it back for the row's restore.
#pragma once

#include <cstdint>

namespace ambrelic::disk {

// The facts of one entry set's stream extension that its restore needs and
// the row texts do not hold.
struct ExfatStream {
  std::uint32_t firstCluster = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  bool noFatChain = false;
  bool isFolder = false;
};

}  // namespace ambrelic::disk
