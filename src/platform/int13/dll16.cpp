// The companion library: the table of BIOS disks and their transfers.
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>

#include "platform/int13/bios_disk_table.h"

namespace {

struct Disk {
  int fd = -1;
  int heads = 255;
  int sectorsPerTrack = 63;
  int lba = 1;
  std::uint64_t bytes = 0;
};

std::map<std::uint8_t, Disk>& Table() {
  static std::map<std::uint8_t, Disk> table;
  return table;
}

std::uint64_t SizeOf(int fd) {
  struct stat st {};
  if (fstat(fd, &st) != 0) return 0;
  if (S_ISBLK(st.st_mode)) {
    std::uint64_t b = 0;
    return ioctl(fd, BLKGETSIZE64, &b) == 0 ? b : 0;
  }
  return static_cast<std::uint64_t>(st.st_size);
}

}  // namespace

extern "C" {

int dll16_attach_disk(std::uint8_t drive, const char* path, int heads, int sectorsPerTrack, int lba,
                      int writable) {
  if (heads < 1 || heads > 256 || sectorsPerTrack < 1 || sectorsPerTrack > 63) return EINVAL;
  int flags = (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC;
  struct stat st {};
  // A block device is written only when the kernel grants it exclusively,
  // which it refuses while a file system on it is mounted.
  if (writable && stat(path, &st) == 0 && S_ISBLK(st.st_mode)) flags |= O_EXCL;
  int fd = open(path, flags);
  if (fd < 0) return errno;
  Disk d;
  d.fd = fd;
  d.heads = heads;
  d.sectorsPerTrack = sectorsPerTrack;
  d.lba = lba ? 1 : 0;
  d.bytes = SizeOf(fd);
  // A disk smaller than one track cannot be addressed with this geometry.
  if (d.bytes < static_cast<std::uint64_t>(sectorsPerTrack) * 512) {
    close(fd);
    return EINVAL;
  }
  auto& table = Table();
  auto old = table.find(drive);
  if (old != table.end()) close(old->second.fd);
  table[drive] = d;
  return 0;
}

void dll16_reset(void) {
  for (auto& [drive, d] : Table()) close(d.fd);
  Table().clear();
}

int dll16_disk_info(std::uint8_t drive, int* heads, int* sectorsPerTrack, int* lba, std::uint64_t* sectors) {
  auto it = Table().find(drive);
  if (it == Table().end()) return 0;
  if (heads) *heads = it->second.heads;
  if (sectorsPerTrack) *sectorsPerTrack = it->second.sectorsPerTrack;
  if (lba) *lba = it->second.lba;
  if (sectors) *sectors = it->second.bytes / 512;
  return 1;
}

int dll16_flush_disk(std::uint8_t drive) {
  auto it = Table().find(drive);
  if (it == Table().end()) return 1;
  return fsync(it->second.fd) == 0 ? 0 : 1;
}

int dll16_transfer(std::uint8_t drive, std::uint16_t bytesPerSector, std::uint64_t lba, int count,
                   void* buffer, int write) {
  auto it = Table().find(drive);
  if (it == Table().end() || count < 0 || bytesPerSector == 0) return 1;
  const Disk& d = it->second;
  const std::uint64_t length = static_cast<std::uint64_t>(count) * bytesPerSector;
  const std::uint64_t offset = lba * bytesPerSector;
  auto* p = static_cast<std::uint8_t*>(buffer);
  if (write) {
    if (offset > d.bytes || d.bytes - offset < length) return 1;
    std::uint64_t done = 0;
    while (done < length) {
      ssize_t n = pwrite(d.fd, p + done, length - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return 1;
      done += static_cast<std::uint64_t>(n);
    }
    return 0;
  }
  std::uint64_t want = offset >= d.bytes ? 0 : std::min(length, d.bytes - offset);
  std::uint64_t done = 0;
  while (done < want) {
    ssize_t n = pread(d.fd, p + done, want - done, static_cast<off_t>(offset + done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<std::uint64_t>(n);
  }
  if (done < length) std::memset(p + done, 0, length - done);
  return done == length ? 0 : 1;
}
}
