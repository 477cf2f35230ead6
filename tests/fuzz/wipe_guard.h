// What the wipe fuzz targets share: a host that says Yes to every
// question, memory that fails the run on the first write changing a byte
// the target's independent check does not allow, and the little-endian
// field the checks read.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "platform/block_device.h"

namespace ambrelic::fuzz {

// n bytes at `at`, little-endian; zeros past the end.
inline std::uint64_t Le(const std::vector<std::uint8_t>& b, std::uint64_t at, unsigned n) {
  std::uint64_t v = 0;
  for (unsigned i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(at + i < b.size() ? b[at + i] : 0) << (8 * i);
  return v;
}


class NullProgress : public disk::ProgressSink {
 public:
  void BeginCount(const std::string&, std::uint64_t) override {}
  void ShowFileLabel() override {}
  void SetFileName(const std::string&) override {}
  bool Advance(std::uint64_t) override { return true; }
  bool TakeCancelRequest() override { return false; }
};

// Says Yes to every question, so that both phases run.
class YesHost : public disk::EngineHost {
 public:
  std::unique_ptr<disk::ProgressSink> OpenProgress() override { return std::make_unique<NullProgress>(); }
  void AddRow(disk::FoundRow) override {}
  void ShowMessage(const std::string&) override {}
  bool AskYesNo(const std::string&, bool) override { return true; }
};

// Memory that fails the run on the first write changing a byte the check
// does not allow.
class GuardedMemory : public platform::BlockDevice {
 public:
  // what: the kind of structure besides vacant clusters the wipe may
  // change, named when it changes anything else.
  GuardedMemory(std::vector<std::uint8_t> bytes, std::vector<std::uint8_t> allowed, std::string what)
      : bytes_(std::move(bytes)), original_(bytes_), allowed_(std::move(allowed)), what_(std::move(what)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const std::uint64_t n = offset >= bytes_.size() ? 0 : std::min<std::uint64_t>(out.size(), bytes_.size() - offset);
    if (n) std::memcpy(out.data(), bytes_.data() + offset, n);
    if (n < out.size()) std::memset(out.data() + n, 0, out.size() - n);
    return n == out.size();
  }
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    if (offset > bytes_.size() || bytes_.size() - offset < in.size()) return false;
    // A write wholly inside allowed bytes passes at once.
    if (std::memchr(allowed_.data() + offset, 0, in.size()) != nullptr) {
      for (std::size_t i = 0; i < in.size(); ++i) {
        const std::uint64_t at = offset + i;
        if (in[i] != original_[at] && !allowed_[at]) {
          std::fprintf(stderr, "the wipe changed byte %llu, which is neither vacant nor a deleted %s\n",
                       static_cast<unsigned long long>(at), what_.c_str());
          std::abort();
        }
      }
    }
    std::memcpy(bytes_.data() + offset, in.data(), in.size());
    return true;
  }
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Writable() const override { return true; }

 private:
  std::vector<std::uint8_t> bytes_;
  std::vector<std::uint8_t> original_;
  std::vector<std::uint8_t> allowed_;  // 1 where the check allows a change
  std::string what_;
};

}  // namespace ambrelic::fuzz
