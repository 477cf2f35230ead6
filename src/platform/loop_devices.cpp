#include "platform/loop_devices.h"

#include <cerrno>
#include <filesystem>
#include <fstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ambrelic::platform {
namespace {

// More loop devices than any system configures; the listing is bounded by it.
constexpr int kMaxLoopDevices = 4096;

}  // namespace

bool ImageHeldThroughLoopDevice(const std::string& path) {
  struct stat image{};
  if (::stat(path.c_str(), &image) != 0 || !S_ISREG(image.st_mode)) return false;
  std::error_code ec;
  std::filesystem::directory_iterator it("/sys/block", ec);
  if (ec) return false;
  int seen = 0;
  for (const auto& entry : it) {
    if (++seen > kMaxLoopDevices) break;
    const std::string name = entry.path().filename().string();
    if (name.rfind("loop", 0) != 0) continue;
    std::ifstream backing(entry.path() / "loop" / "backing_file");
    std::string file;
    if (!std::getline(backing, file) || file.empty()) continue;
    struct stat st{};
    if (::stat(file.c_str(), &st) != 0 || st.st_dev != image.st_dev || st.st_ino != image.st_ino) continue;
    // The kernel refuses a second exclusive open of a device it holds.
    const std::string device = "/dev/" + name;
    const int fd = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      continue;
    }
    if (errno == EBUSY) return true;
  }
  return false;
}

}  // namespace ambrelic::platform
