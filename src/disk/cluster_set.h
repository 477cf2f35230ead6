// A set of cluster (or record) numbers from 0 to size() - 1, one bit each:
// what the wipes keep of a volume's allocation while they work.
#pragma once

#include <bit>
#include <cstdint>
#include <vector>

namespace ambrelic::disk {

class ClusterSet {
 public:
  ClusterSet() = default;
  // All clear.
  explicit ClusterSet(std::uint64_t size) : size_(size), words_(static_cast<std::size_t>((size + 63) / 64), 0) {}

  std::uint64_t size() const { return size_; }
  // Numbers at or beyond size() are never members.
  bool Test(std::uint64_t i) const { return i < size_ && ((words_[i >> 6] >> (i & 63)) & 1) != 0; }
  void Set(std::uint64_t i) {
    if (i < size_) words_[i >> 6] |= std::uint64_t{1} << (i & 63);
  }
  void Clear(std::uint64_t i) {
    if (i < size_) words_[i >> 6] &= ~(std::uint64_t{1} << (i & 63));
  }

  // [first, first + count), clipped to the set.
  void SetRange(std::uint64_t first, std::uint64_t count) { Apply(first, count, true); }
  void ClearRange(std::uint64_t first, std::uint64_t count) { Apply(first, count, false); }
  // Members inside [first, first + count).
  std::uint64_t CountRange(std::uint64_t first, std::uint64_t count) const {
    std::uint64_t n = 0;
    Walk(first, count, [&](std::size_t w, std::uint64_t mask) { n += std::popcount(words_[w] & mask); });
    return n;
  }
  bool AnyInRange(std::uint64_t first, std::uint64_t count) const { return CountRange(first, count) != 0; }
  std::uint64_t Count() const { return CountRange(0, size_); }

 private:
  // Calls f(word index, mask of the bits of [first, first + count) in it).
  template <typename F>
  void Walk(std::uint64_t first, std::uint64_t count, F f) const {
    if (first >= size_) return;
    const std::uint64_t end = count > size_ - first ? size_ : first + count;
    for (std::uint64_t i = first; i < end;) {
      const std::uint64_t bit = i & 63;
      const std::uint64_t n = end - i < 64 - bit ? end - i : 64 - bit;
      const std::uint64_t mask = (n == 64 ? ~std::uint64_t{0} : ((std::uint64_t{1} << n) - 1)) << bit;
      f(static_cast<std::size_t>(i >> 6), mask);
      i += n;
    }
  }
  void Apply(std::uint64_t first, std::uint64_t count, bool on) {
    Walk(first, count, [&](std::size_t w, std::uint64_t mask) {
      if (on) words_[w] |= mask;
      else words_[w] &= ~mask;
    });
  }

  std::uint64_t size_ = 0;
  std::vector<std::uint64_t> words_;
};

}  // namespace ambrelic::disk
