#include "ui/restore_paths.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <fstream>

#include "ui/results_list.h"

namespace ambrelic::ui {
namespace {

constexpr std::size_t kLowDigits = 10;
constexpr std::uint64_t kLowScale = 10000000000ull;

// One number from a sysfs attribute file; false when it cannot be read.
bool ReadSysfsNumber(const std::string& path, std::uint64_t& value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> value);
}

bool ReadSysfsDevice(const std::string& path, dev_t& dev) {
  std::ifstream in(path);
  unsigned major = 0, minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  dev = makedev(major, minor);
  return true;
}

// The device number of the file system holding path, from its nearest
// existing ancestor (the target itself does not exist yet).
bool DeviceHolding(const std::string& target, dev_t& dev) {
  std::string p = target.empty() ? std::string(".") : target;
  // Each round shortens p by one component; the length bounds the rounds.
  for (std::size_t round = 0; round <= target.size() + 1; ++round) {
    struct stat st {};
    if (::stat(p.c_str(), &st) == 0) {
      dev = st.st_dev;
      return true;
    }
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    const std::size_t slash = p.rfind('/');
    if (slash == std::string::npos) {
      p = ".";
    } else if (slash == 0) {
      p = "/";
    } else {
      p.resize(slash);
    }
  }
  return false;
}

}  // namespace

std::uint64_t ParseUInt64Text(std::string_view text) {
  std::string_view high;
  std::string_view low = text;
  if (text.size() > kLowDigits) {
    high = text.substr(0, text.size() - kLowDigits);
    low = text.substr(text.size() - kLowDigits);
  }
  // Unsigned arithmetic: a high part beyond what 64 bits hold wraps, as the
  // designed computation does.
  return static_cast<std::uint64_t>(ParseUInt32Text(high)) * kLowScale + ParseUInt32Text(low);
}

bool TargetOnSearchedVolume(const platform::Drive& drive, const std::string& target) {
  struct stat source {};
  if (::stat(drive.sourcePath.c_str(), &source) != 0 || !S_ISBLK(source.st_mode)) return false;
  dev_t holder = 0;
  if (!DeviceHolding(target, holder)) return false;
  if (drive.offset == 0 && holder == source.st_rdev) return true;
  // The drive is a partition inside a whole-disk source: the file system is
  // mounted from the partition's own device, whose parent is the source and
  // whose start is the drive's offset.
  const std::string sys = "/sys/dev/block/" + std::to_string(major(holder)) + ":" + std::to_string(minor(holder));
  std::uint64_t start = 0;
  dev_t parent = 0;
  if (!ReadSysfsNumber(sys + "/start", start) || !ReadSysfsDevice(sys + "/../dev", parent)) return false;
  // sysfs counts partition starts in 512-byte units whatever the sector size.
  return parent == source.st_rdev && start * 512 == drive.offset;
}

}  // namespace ambrelic::ui
