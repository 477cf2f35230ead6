// Whether a file system the kernel has mounted reads a given source: a
// block device, a partition of one, a loop device, or an image file that a
// loop device or a FUSE file system (ntfs-3g, exfat-fuse, ...) reads.
//
// The wipe must refuse such a source (the mounted file system hands out
// "vacant" clusters at any moment), and a restore onto such a file system
// overwrites the very clusters it is about to read. Both questions come down
// to one: do two stretches of bytes end on the same underlying object and
// overlap there? Partitions and loop devices are followed down to the whole
// disk or the regular file they read, through sysfs.
#pragma once

#include <cstdint>
#include <istream>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

namespace ambrelic::platform {

// One line of the kernel's mount table (/proc/self/mountinfo).
struct MountEntry {
  unsigned major = 0;      // device number of the mounted file system
  unsigned minor = 0;      // (0:N for FUSE and other anonymous devices)
  std::string mountPoint;  // escapes (\040 ...) decoded
  std::string fsType;
  std::string source;      // what was mounted, as the kernel recorded it
};

// Parses the mount table's lines; lines it cannot read are passed over.
std::vector<MountEntry> ParseMountInfo(std::istream& in);

// A stretch of bytes as the kernel finally reads it: a whole block device
// (isFile false, dev its device number) or a regular file (dev and ino of
// the file), from start for length bytes (length 0: to its end).
struct BackingExtent {
  bool isFile = false;
  dev_t dev = 0;
  ino_t ino = 0;
  std::uint64_t start = 0;
  std::uint64_t length = 0;
};

// The bytes [offset, offset + length) of path (length 0: to its end) as
// the kernel reads them. None when path is neither a block device nor a
// regular file.
std::optional<BackingExtent> ExtentOfSource(const std::string& path, std::uint64_t offset = 0,
                                            std::uint64_t length = 0);

// True when two extents share at least one byte of the same object.
bool ExtentsOverlap(const BackingExtent& a, const BackingExtent& b);

// True when a mounted file system reads any byte of [offset, offset +
// length) of path (length 0: to its end).
bool SourceMounted(const std::string& path, std::uint64_t offset = 0, std::uint64_t length = 0);

// True when the file system that holds target (its nearest existing
// ancestor: the target need not exist yet) reads any byte of [offset,
// offset + length) of path.
bool PathOnSource(const std::string& target, const std::string& path, std::uint64_t offset = 0,
                  std::uint64_t length = 0);

// The device number of the file system holding target, from its nearest
// existing ancestor; false when not even "/" can be examined.
bool DeviceHolding(const std::string& target, dev_t& dev);

}  // namespace ambrelic::platform
