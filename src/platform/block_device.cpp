#include "platform/block_device.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/image_sources.h"

namespace ambrelic::platform {
namespace {

// Clips [offset, offset + n) to [0, size): how many bytes lie inside.
std::uint64_t InsideCount(std::uint64_t offset, std::uint64_t n, std::uint64_t size) {
  if (offset >= size) return 0;
  return std::min<std::uint64_t>(n, size - offset);
}

class FileDevice : public BlockDevice {
 public:
  FileDevice(int fd, std::string path, std::uint64_t base, std::uint64_t length, bool writable)
      : fd_(fd), path_(std::move(path)), base_(base), length_(length), writable_(writable) {}
  ~FileDevice() override {
    ::close(fd_);
    if (directFd_ >= 0) ::close(directFd_);
  }

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
        // The page cache fails a whole page (or more) for one bad sector;
        // read the range again the way the disk itself can, so that the
        // salvage's pieces cost only the sectors that really fail. A
        // device that is gone is not asked again.
        if (error != ENODEV && error != ENXIO && error != ENOMEDIUM && error != ENOTCONN &&
            DirectRead(base_ + offset + done, out.data() + done, want - done)) {
          error = 0;
          done = want;
        }
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

  std::unique_ptr<ResidentBytes> ViewResident(std::uint64_t offset, std::size_t length) override {
    if (InsideCount(offset, length, length_) != length) return nullptr;
    return MapResident(fd_, base_ + offset, length);
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
  // Reads [at, at + n) of the file with direct I/O (O_DIRECT, a buffer
  // and a range aligned to the device's logical sector), only after a
  // buffered read of it failed. True when all of it came. Where the file
  // or device refuses direct I/O (EINVAL at the open or the read) it is
  // not tried again.
  bool DirectRead(std::uint64_t at, std::uint8_t* to, std::uint64_t n) {
    if (directRefused_) return false;
    if (directFd_ < 0) {
      directFd_ = ::open(path_.c_str(), O_RDONLY | O_DIRECT | O_CLOEXEC);
      if (directFd_ < 0) {
        directRefused_ = true;
        return false;
      }
      int logical = 0;
      struct stat st {};
      if (::fstat(directFd_, &st) == 0 && S_ISBLK(st.st_mode) && ::ioctl(directFd_, BLKSSZGET, &logical) == 0 &&
          logical >= 512 && logical <= 65536) {
        align_ = static_cast<std::uint64_t>(logical);
      }
    }
    const std::uint64_t begin = at / align_ * align_;
    const std::uint64_t end = (at + n + align_ - 1) / align_ * align_;
    void* raw = nullptr;
    if (::posix_memalign(&raw, static_cast<std::size_t>(std::max<std::uint64_t>(align_, 4096)),
                         static_cast<std::size_t>(end - begin)) != 0) {
      return false;
    }
    std::unique_ptr<std::uint8_t, decltype(&std::free)> buffer(static_cast<std::uint8_t*>(raw), &std::free);
    std::uint64_t got = 0;
    while (begin + got < at + n) {
      const ssize_t r = ::pread(directFd_, buffer.get() + got, static_cast<std::size_t>(end - begin - got),
                                static_cast<off_t>(begin + got));
      if (r < 0 && errno == EINTR) continue;
      if (r < 0 && errno == EINVAL) directRefused_ = true;
      if (r <= 0) return false;
      got += static_cast<std::uint64_t>(r);
      // A short read that is not a whole number of sectors cannot be
      // continued with direct I/O.
      if (got % align_ != 0) break;
    }
    if (begin + got < at + n) return false;
    std::memcpy(to, buffer.get() + (at - begin), static_cast<std::size_t>(n));
    return true;
  }

  int fd_;
  std::string path_;
  std::uint64_t base_;
  std::uint64_t length_;
  bool writable_;
  int directFd_ = -1;
  bool directRefused_ = false;
  std::uint64_t align_ = 512;
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

OpenResult OpenRawFile(const std::string& path, std::uint64_t base, std::uint64_t length, bool writable) {
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
  result.device = std::make_shared<FileDevice>(fd, path, base, length, writable);
  return result;
}

OpenResult OpenFileDevice(const std::string& path, std::uint64_t base, std::uint64_t length, bool writable) {
  const SourceKind kind = KindOfSource(path);
  const std::string mapfile = MapfileFor(path);
  if (!IsContainer(kind) && mapfile.empty()) return OpenRawFile(path, base, length, writable);
  OpenResult result;
  if (IsContainer(kind) && writable) {
    result.error = EROFS;
    return result;
  }
  result = IsContainer(kind) ? OpenContainer(path, kind) : OpenRawFile(path, 0, 0, writable);
  if (!result.device) return result;
  if (!mapfile.empty()) {
    RescueMap map;
    std::string why;
    if (!ReadRescueMap(mapfile, map, why)) {
      result.device.reset();
      result.error = EINVAL;
      return result;
    }
    result.device = std::make_shared<RescuedImageDevice>(result.device, std::move(map));
  }
  if (base != 0 || length != 0) {
    const std::uint64_t total = result.device->Size();
    const std::uint64_t start = std::min(base, total);
    const std::uint64_t avail = total - start;
    result.device = std::make_shared<SliceDevice>(result.device, start, length == 0 || length > avail ? avail : length);
  }
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

std::unique_ptr<ResidentBytes> SliceDevice::ViewResident(std::uint64_t offset, std::size_t length) {
  if (InsideCount(offset, length, length_) != length) return nullptr;
  return inner_->ViewResident(base_ + offset, length);
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
