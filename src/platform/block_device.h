// A readable (and, for the wipe, writable) run of bytes: an image file, a
// partition inside an image, a block device, or memory in tests. Every
// sector transfer of the program ends here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace ambrelic::platform {

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;

  // Reads out.size() bytes at offset. Bytes that cannot be delivered (past the
  // end, an I/O error) are set to zero, never left as they were, so a short
  // read can never make the previous cluster's entries show up twice.
  // Returns true only when every byte came from the device.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

  // Writes every byte or reports false.
  virtual bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) = 0;

  // Length in bytes of what this device exposes.
  virtual std::uint64_t Size() const = 0;

  virtual bool Writable() const = 0;

  // Makes what was written reach the device (fsync); true when it did, or
  // when there is nothing between the writes and the device.
  virtual bool Flush() { return true; }
};

using DevicePtr = std::shared_ptr<BlockDevice>;

struct OpenResult {
  DevicePtr device;   // null on failure
  int error = 0;      // errno of the failure
};

// Opens path and exposes [base, base + length) of it; length 0 means "to the
// end". Read-only unless writable is set. A writable block device is opened
// with O_EXCL, which the kernel refuses while the device is mounted.
OpenResult OpenFileDevice(const std::string& path, std::uint64_t base = 0,
                          std::uint64_t length = 0, bool writable = false);

// Size in bytes of a file or block device, or 0 when it cannot be told.
std::uint64_t DeviceSizeOf(const std::string& path);

// An in-memory image, for tests and fuzzing.
class MemoryDevice : public BlockDevice {
 public:
  explicit MemoryDevice(std::vector<std::uint8_t> bytes, bool writable = true)
      : bytes_(std::move(bytes)), writable_(writable) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  std::uint64_t Size() const override { return bytes_.size(); }
  bool Writable() const override { return writable_; }
  std::vector<std::uint8_t>& Bytes() { return bytes_; }

 private:
  std::vector<std::uint8_t> bytes_;
  bool writable_;
};

// A window [base, base + length) of another device (a partition of a disk).
class SliceDevice : public BlockDevice {
 public:
  SliceDevice(DevicePtr inner, std::uint64_t base, std::uint64_t length);
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  std::uint64_t Size() const override { return length_; }
  bool Writable() const override { return inner_->Writable(); }
  bool Flush() override { return inner_->Flush(); }

 private:
  DevicePtr inner_;
  std::uint64_t base_;
  std::uint64_t length_;
};

}  // namespace ambrelic::platform
