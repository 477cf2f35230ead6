#include "platform/block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace ambrelic::platform {
namespace {

// Clips [offset, offset + n) to [0, size): how many bytes lie inside.
std::uint64_t InsideCount(std::uint64_t offset, std::uint64_t n, std::uint64_t size) {
  if (offset >= size) return 0;
  return std::min<std::uint64_t>(n, size - offset);
}

class FileDevice : public BlockDevice {
 public:
  FileDevice(int fd, std::uint64_t base, std::uint64_t length, bool writable)
      : fd_(fd), base_(base), length_(length), writable_(writable) {}
  ~FileDevice() override { ::close(fd_); }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return ReadChecked(offset, out) == 0 && InsideCount(offset, out.size(), length_) == out.size();
  }

  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const std::uint64_t want = InsideCount(offset, out.size(), length_);
    std::uint64_t done = 0;
    int error = 0;
    while (done < want) {
      ssize_t got = ::pread(fd_, out.data() + done, want - done,
                            static_cast<off_t>(base_ + offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        error = errno;
        break;
      }
      if (got == 0) {
        // The end came before the length the device had when it was
        // opened: the medium went away or shrank under us.
        error = ENXIO;
        break;
      }
      done += static_cast<std::uint64_t>(got);
    }
    if (done < out.size()) std::memset(out.data() + done, 0, out.size() - done);
    return error;
  }

  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override {
    if (!writable_) return false;
    if (InsideCount(offset, in.size(), length_) != in.size()) return false;
    std::uint64_t done = 0;
    while (done < in.size()) {
      ssize_t put = ::pwrite(fd_, in.data() + done, in.size() - done,
                             static_cast<off_t>(base_ + offset + done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) return false;
      done += static_cast<std::uint64_t>(put);
    }
    return true;
  }

  std::uint64_t Size() const override { return length_; }
  bool Writable() const override { return writable_; }
  bool Flush() override {
    if (!writable_) return true;
    int rc;
    do {
      rc = ::fsync(fd_);
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
  }

 private:
  int fd_;
  std::uint64_t base_;
  std::uint64_t length_;
  bool writable_;
};

std::uint64_t SizeOfFd(int fd) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t bytes = 0;
    if (::ioctl(fd, BLKGETSIZE64, &bytes) == 0) return bytes;
    return 0;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

OpenResult OpenFileDevice(const std::string& path, std::uint64_t base,
                          std::uint64_t length, bool writable) {
  OpenResult result;
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && S_ISBLK(st.st_mode) && writable) flags |= O_EXCL;
  int fd = ::open(path.c_str(), flags);
  if (fd < 0) {
    result.error = errno;
    return result;
  }
  std::uint64_t total = SizeOfFd(fd);
  if (base > total) base = total;
  std::uint64_t avail = total - base;
  if (length == 0 || length > avail) length = avail;
  result.device = std::make_shared<FileDevice>(fd, base, length, writable);
  return result;
}

std::uint64_t DeviceSizeOf(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  std::uint64_t size = SizeOfFd(fd);
  ::close(fd);
  return size;
}

int BlockDevice::ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) {
  if (ReadAt(offset, out)) return 0;
  const std::uint64_t inside = InsideCount(offset, out.size(), Size());
  if (inside == out.size()) return EIO;
  if (inside == 0) return 0;
  // The read also reached past the end; whether the part inside came
  // whole, only the part alone can tell.
  return ReadAt(offset, out.first(inside)) ? 0 : EIO;
}

int MemoryDevice::ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) {
  ReadAt(offset, out);
  return 0;
}

bool MemoryDevice::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::uint64_t n = InsideCount(offset, out.size(), bytes_.size());
  if (n) std::memcpy(out.data(), bytes_.data() + offset, n);
  if (n < out.size()) std::memset(out.data() + n, 0, out.size() - n);
  return n == out.size();
}

bool MemoryDevice::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) {
  if (!writable_) return false;
  if (InsideCount(offset, in.size(), bytes_.size()) != in.size()) return false;
  std::memcpy(bytes_.data() + offset, in.data(), in.size());
  return true;
}

SliceDevice::SliceDevice(DevicePtr inner, std::uint64_t base, std::uint64_t length)
    : inner_(std::move(inner)), base_(base), length_(length) {
  std::uint64_t total = inner_->Size();
  if (base_ > total) base_ = total;
  if (length_ > total - base_) length_ = total - base_;
}

bool SliceDevice::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  std::uint64_t n = InsideCount(offset, out.size(), length_);
  bool ok = inner_->ReadAt(base_ + offset, out.first(n));
  if (n < out.size()) std::memset(out.data() + n, 0, out.size() - n);
  return ok && n == out.size();
}

int SliceDevice::ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) {
  const std::uint64_t n = InsideCount(offset, out.size(), length_);
  const int error = n ? inner_->ReadChecked(base_ + offset, out.first(n)) : 0;
  if (n < out.size()) std::memset(out.data() + n, 0, out.size() - n);
  return error;
}

bool SliceDevice::WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) {
  if (InsideCount(offset, in.size(), length_) != in.size()) return false;
  return inner_->WriteAt(base_ + offset, in);
}

int FaultyDevice::ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) {
  ++reads_;
  bytesRequested_ += out.size();
  if (reads_ > dieAt_) {
    ++failedReads_;
    std::memset(out.data(), 0, out.size());
    return dieError_;
  }
  const int error = inner_->ReadChecked(offset, out);
  // The first bad byte the read touches, if any.
  std::uint64_t firstBad = ~std::uint64_t{0};
  const std::uint64_t end = offset + out.size();
  for (const auto& [b, e] : bad_) {
    if (b < end && e > offset) firstBad = std::min(firstBad, std::max(b, offset));
  }
  if (firstBad == ~std::uint64_t{0}) return error;
  ++failedReads_;
  const std::uint64_t kept = firstBad - offset;
  std::memset(out.data() + kept, 0, out.size() - kept);
  return EIO;
}

}  // namespace ambrelic::platform
