// A readable (and, for the wipe, writable) run of bytes: an image file, a
// partition inside an image, a block device, or memory in tests. Every
// sector transfer of the program ends here.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "platform/resident_bytes.h"

namespace ambrelic::platform {

class BlockDevice {
 public:
  virtual ~BlockDevice() = default;

  // Reads out.size() bytes at offset. Bytes that cannot be delivered (past the
  // end, an I/O error) are set to zero, never left as they were, so a short
  // read can never make the previous cluster's entries show up twice.
  // Returns true only when every byte came from the device.
  virtual bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) = 0;

  // The same read, telling why bytes inside the device were not delivered:
  // 0 when every byte of [offset, offset + out.size()) that lies before
  // Size() came from the device (bytes past the end are zeros and no
  // failure), otherwise the errno of the failure (EIO when the device does
  // not say). Devices that know their errors override it; the default asks
  // ReadAt, and asks again for the part inside the device when the read
  // also reached past the end.
  virtual int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out);

  // [offset, offset + length) where it lies in memory already, for a pass
  // that would otherwise copy it out (see resident_bytes.h); null when the
  // device cannot offer that, and the caller reads instead.
  virtual std::unique_ptr<ResidentBytes> ViewResident(std::uint64_t /*offset*/, std::size_t /*length*/) {
    return nullptr;
  }

  // Writes every byte or reports false.
  virtual bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) = 0;

  // Length in bytes of what this device exposes.
  virtual std::uint64_t Size() const = 0;

  virtual bool Writable() const = 0;

  // Makes what was written durable (fsync): until then a write may still
  // sit in a cache and be lost with the device. False when that failed,
  // which makes the writes before it as good as failed.
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
// An image in a container (E01, VHD, VMDK, QCOW2, split raw) exposes the
// disk it holds and is never writable (EROFS); a ddrescue mapfile that goes
// with the source makes every area it does not call rescued unreadable.
// A read that fails through the page cache is read again with direct I/O,
// so that one bad sector costs that sector and not its whole page.
OpenResult OpenFileDevice(const std::string& path, std::uint64_t base = 0,
                          std::uint64_t length = 0, bool writable = false);

// The file or block device itself, as it is, whatever it holds.
OpenResult OpenRawFile(const std::string& path, std::uint64_t base = 0, std::uint64_t length = 0,
                       bool writable = false);

// Size in bytes of a file or block device, or 0 when it cannot be told.
std::uint64_t DeviceSizeOf(const std::string& path);

// An in-memory image, for tests and fuzzing.
class MemoryDevice : public BlockDevice {
 public:
  explicit MemoryDevice(std::vector<std::uint8_t> bytes, bool writable = true)
      : bytes_(std::move(bytes)), writable_(writable) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override;
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
  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override;
  std::unique_ptr<ResidentBytes> ViewResident(std::uint64_t offset, std::size_t length) override;
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override;
  std::uint64_t Size() const override { return length_; }
  bool Writable() const override { return inner_->Writable(); }
  bool Flush() override { return inner_->Flush(); }

 private:
  DevicePtr inner_;
  std::uint64_t base_;
  std::uint64_t length_;
};

// Another device with failing reads, for tests and fuzzing: reads that
// touch a bad range fail with EIO (the bytes before the first bad byte are
// delivered, as a real device's short read does), and once told to die the
// device fails every read with the given errno. Writes pass through. It
// counts the reads that reach it.
class FaultyDevice : public BlockDevice {
 public:
  explicit FaultyDevice(DevicePtr inner) : inner_(std::move(inner)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return ReadChecked(offset, out) == 0 && offset <= Size() && Size() - offset >= out.size();
  }
  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return inner_->Writable(); }
  bool Flush() override { return inner_->Flush(); }

  // [offset, offset + length) fails from now on.
  void AddBadRange(std::uint64_t offset, std::uint64_t length) { bad_.emplace_back(offset, offset + length); }
  // Every read fails with error after this many more reads (0: at once).
  void DieAfter(std::uint64_t reads, int error) {
    dieAt_ = reads_ + reads;
    dieError_ = error;
  }
  std::uint64_t Reads() const { return reads_; }
  std::uint64_t FailedReads() const { return failedReads_; }
  std::uint64_t BytesRequested() const { return bytesRequested_; }

 private:
  DevicePtr inner_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bad_;  // [begin, end)
  std::uint64_t reads_ = 0;
  std::uint64_t failedReads_ = 0;
  std::uint64_t bytesRequested_ = 0;
  std::uint64_t dieAt_ = ~std::uint64_t{0};
  int dieError_ = 0;
};

}  // namespace ambrelic::platform
