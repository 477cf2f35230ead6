#include "platform/mounts.h"

#include <fstream>
#include <sstream>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace ambrelic::platform {
namespace {

// Partitions of loop devices of partitions...: no real stack is this deep,
// and a damaged sysfs cannot make the walk go round.
constexpr int kMaxLevels = 16;
// sysfs counts partition starts and sizes in 512-byte units, whatever the
// device's sector size.
constexpr std::uint64_t kSysfsUnit = 512;

std::string Unescape(const std::string& field) {
  // The kernel writes space, tab, newline and backslash as \NNN (octal).
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && field.size() - i >= 4) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out.push_back(static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0')));
        i += 3;
        continue;
      }
    }
    out.push_back(field[i]);
  }
  return out;
}

bool ReadNumber(const std::string& path, std::uint64_t& value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> value);
}

bool ReadDeviceNumber(const std::string& path, dev_t& dev) {
  std::ifstream in(path);
  unsigned major = 0, minor = 0;
  char colon = 0;
  if (!(in >> major >> colon >> minor) || colon != ':') return false;
  dev = makedev(major, minor);
  return true;
}

bool ReadLine(const std::string& path, std::string& line) {
  std::ifstream in(path);
  return static_cast<bool>(std::getline(in, line)) && !line.empty();
}

std::string SysfsOf(dev_t dev) {
  return "/sys/dev/block/" + std::to_string(major(dev)) + ":" + std::to_string(minor(dev));
}

// [start, start + length) of the block device dev, followed down through
// partitions and loop devices to the whole disk or the file it reads.
BackingExtent ResolveDevice(dev_t dev, std::uint64_t start, std::uint64_t length) {
  for (int level = 0; level < kMaxLevels; ++level) {
    const std::string sys = SysfsOf(dev);
    std::uint64_t partStart = 0;
    dev_t parent = 0;
    if (ReadNumber(sys + "/start", partStart) && ReadDeviceNumber(sys + "/../dev", parent)) {
      std::uint64_t partSize = 0;
      if (length == 0 && ReadNumber(sys + "/size", partSize) && partSize * kSysfsUnit > start) {
        length = partSize * kSysfsUnit - start;
      }
      start += partStart * kSysfsUnit;
      dev = parent;
      continue;
    }
    std::string file;
    if (ReadLine(sys + "/loop/backing_file", file)) {
      struct stat st {};
      if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        std::uint64_t loopOffset = 0, sizeLimit = 0;
        ReadNumber(sys + "/loop/offset", loopOffset);
        ReadNumber(sys + "/loop/sizelimit", sizeLimit);
        if (length == 0 && sizeLimit > start) length = sizeLimit - start;
        return BackingExtent{true, st.st_dev, st.st_ino, start + loopOffset, length};
      }
      if (::stat(file.c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        std::uint64_t loopOffset = 0;
        ReadNumber(sys + "/loop/offset", loopOffset);
        start += loopOffset;
        dev = st.st_rdev;
        continue;
      }
    }
    break;
  }
  return BackingExtent{false, dev, 0, start, length};
}

// What a mounted file system reads. A real block file system is known by
// its device number; FUSE and other anonymous ones (0:N) only by the source
// the kernel recorded, which ntfs-3g and its kind give as an absolute path.
std::optional<BackingExtent> ExtentOfMount(const MountEntry& m) {
  if (m.major != 0) return ResolveDevice(makedev(m.major, m.minor), 0, 0);
  if (m.source.empty() || m.source.front() != '/') return std::nullopt;
  return ExtentOfSource(m.source);
}

std::vector<MountEntry> ReadMountTable() {
  std::ifstream in("/proc/self/mountinfo");
  return ParseMountInfo(in);
}

}  // namespace

std::vector<MountEntry> ParseMountInfo(std::istream& in) {
  std::vector<MountEntry> entries;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream fields(line);
    std::string id, parent, devno, root, point, options;
    if (!(fields >> id >> parent >> devno >> root >> point >> options)) continue;
    // Optional fields run up to a lone "-".
    std::string field;
    bool separated = false;
    while (fields >> field) {
      if (field == "-") {
        separated = true;
        break;
      }
    }
    MountEntry m;
    if (!separated || !(fields >> m.fsType)) continue;
    fields >> m.source;
    const std::size_t colon = devno.find(':');
    if (colon == std::string::npos) continue;
    try {
      m.major = static_cast<unsigned>(std::stoul(devno.substr(0, colon)));
      m.minor = static_cast<unsigned>(std::stoul(devno.substr(colon + 1)));
    } catch (...) {
      continue;
    }
    m.mountPoint = Unescape(point);
    m.source = Unescape(m.source);
    entries.push_back(std::move(m));
  }
  return entries;
}

std::optional<BackingExtent> ExtentOfSource(const std::string& path, std::uint64_t offset, std::uint64_t length) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  if (S_ISBLK(st.st_mode)) return ResolveDevice(st.st_rdev, offset, length);
  if (S_ISREG(st.st_mode)) return BackingExtent{true, st.st_dev, st.st_ino, offset, length};
  return std::nullopt;
}

bool ExtentsOverlap(const BackingExtent& a, const BackingExtent& b) {
  if (a.isFile != b.isFile || a.dev != b.dev || (a.isFile && a.ino != b.ino)) return false;
  // A length of 0 runs to the end: it overlaps everything after its start.
  const bool aBeforeB = a.length != 0 && a.length <= b.start && a.start <= b.start - a.length;
  const bool bBeforeA = b.length != 0 && b.length <= a.start && b.start <= a.start - b.length;
  return !aBeforeB && !bBeforeA;
}

bool SourceMounted(const std::string& path, std::uint64_t offset, std::uint64_t length) {
  const std::optional<BackingExtent> source = ExtentOfSource(path, offset, length);
  if (!source) return false;
  for (const MountEntry& m : ReadMountTable()) {
    const std::optional<BackingExtent> mounted = ExtentOfMount(m);
    if (mounted && ExtentsOverlap(*mounted, *source)) return true;
  }
  return false;
}

bool PathOnSource(const std::string& target, const std::string& path, std::uint64_t offset, std::uint64_t length) {
  const std::optional<BackingExtent> source = ExtentOfSource(path, offset, length);
  dev_t holder = 0;
  if (!source || !DeviceHolding(target, holder)) return false;
  for (const MountEntry& m : ReadMountTable()) {
    if (makedev(m.major, m.minor) != holder) continue;
    const std::optional<BackingExtent> mounted = ExtentOfMount(m);
    if (mounted && ExtentsOverlap(*mounted, *source)) return true;
  }
  return false;
}

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

}  // namespace ambrelic::platform
