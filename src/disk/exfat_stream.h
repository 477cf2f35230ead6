// What an exFAT row's restore works from: the facts of its entry set's
// stream extension, kept in the row's facts and made back into a stream by
// exfat::RowStream.
#pragma once

#include <cstdint>

namespace ambrelic::disk {

// The facts of one entry set's stream extension that its restore needs.
struct ExfatStream {
  std::uint32_t firstCluster = 0;
  std::uint64_t validDataLength = 0;
  std::uint64_t dataLength = 0;
  bool noFatChain = false;
  bool isFolder = false;
};

}  // namespace ambrelic::disk
