// Bytes of a file or block device looked at where they already lie in
// memory (the page cache), instead of copied out of it by a read. A pass
// over a whole volume that is cached (an image read a moment before, a card
// scanned twice) spends as much time in the copy as a sequential read does
// in all; a view costs a mapping and no copy.
//
// A view is only offered when every page of it is in memory at the time it
// is asked for, so that looking at it needs no I/O. Should a page still
// fail (the file cut short meanwhile, the device unplugged, a cached page
// that never read whole), the access does not kill the program with SIGBUS:
// the page reads as zeros and the view says it is spoiled, and its owner
// reads the bytes again the ordinary way, which tells what failed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace ambrelic::platform {

class ResidentBytes {
 public:
  ResidentBytes(const ResidentBytes&) = delete;
  ResidentBytes& operator=(const ResidentBytes&) = delete;
  ~ResidentBytes();

  const std::uint8_t* data() const { return data_; }
  std::size_t size() const { return size_; }
  // True once a page of the view (or of [from, from + length) in it) could
  // not be delivered: it read as zeros.
  bool Spoiled() const;
  bool Spoiled(const std::uint8_t* from, std::size_t length) const;

 private:
  friend std::unique_ptr<ResidentBytes> MapResident(int fd, std::uint64_t offset, std::size_t length);
  ResidentBytes() = default;

  void* map_ = nullptr;
  std::size_t mapBytes_ = 0;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  int slot_ = -1;
};

// [offset, offset + length) of the open file or block device fd, when
// every page of it is in memory and it can be mapped; null otherwise (the
// caller reads it instead). A few dozen views at most are out at once.
std::unique_ptr<ResidentBytes> MapResident(int fd, std::uint64_t offset, std::size_t length);

}  // namespace ambrelic::platform
