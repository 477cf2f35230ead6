#include "platform/bios_disks.h"

#include <dlfcn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

namespace ambrelic::platform {

Int13Service::~Int13Service() {
  if (handle_) {
    Reset();
    dlclose(handle_);
  }
}

Int13LoadResult Int13Service::Load(const std::string& folder) {
  struct stat st {};
  if (::stat((folder + "/" + kInt13Companion).c_str(), &st) != 0) {
    return result_ = Int13LoadResult::MissingCompanion;
  }
  handle_ = dlopen((folder + "/" + kInt13Library).c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle_) return result_ = Int13LoadResult::MissingLibrary;
  auto take = [&](const char* name) -> void* {
    void* p = dlsym(handle_, name);
    if (!p && missingExport_.empty()) missingExport_ = name;
    return p;
  };
  api_.i13_lba_check = reinterpret_cast<Int13Api::LbaCheck>(take("i13_lba_check"));
  api_.i13_get_drive_parameter = reinterpret_cast<Int13Api::GetDriveParameter>(take("i13_get_drive_parameter"));
  api_.i13_io_sector = reinterpret_cast<Int13Api::IoSector>(take("i13_io_sector"));
  api_.i13x_io_sector = reinterpret_cast<Int13Api::IoSectorX>(take("i13x_io_sector"));
  attach_ = reinterpret_cast<decltype(attach_)>(take("dll16_attach_disk"));
  reset_ = reinterpret_cast<decltype(reset_)>(take("dll16_reset"));
  info_ = reinterpret_cast<decltype(info_)>(take("dll16_disk_info"));
  api_.dll16_flush_disk = reinterpret_cast<Int13Api::FlushDisk>(take("dll16_flush_disk"));
  if (!missingExport_.empty()) {
    dlclose(handle_);
    handle_ = nullptr;
    api_ = Int13Api{};
    return result_ = Int13LoadResult::MissingExport;
  }
  return result_ = Int13LoadResult::Loaded;
}

std::string Int13Service::FailureMessage() const {
  switch (result_) {
    case Int13LoadResult::MissingCompanion: return "Dll16.dll was not found.";
    case Int13LoadResult::MissingLibrary: return "Dll32.dll was not found.";
    case Int13LoadResult::MissingExport:
      return "The entry point " + missingExport_ + " was not found in Dll32.dll.";
    default: return "";
  }
}

int Int13Service::AttachDisk(std::uint8_t drive, const std::string& path, int heads, int sectorsPerTrack,
                             bool lba, bool writable) const {
  if (!attach_) return ENOSYS;
  return attach_(drive, path.c_str(), heads, sectorsPerTrack, lba ? 1 : 0, writable ? 1 : 0);
}

void Int13Service::Reset() const {
  if (reset_) reset_();
}

std::uint64_t Int13Service::DiskSectors(std::uint8_t drive) const {
  std::uint64_t sectors = 0;
  if (!info_ || !info_(drive, nullptr, nullptr, nullptr, &sectors)) return 0;
  return sectors;
}

std::string ProgramFolder() {
  char buf[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  auto slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

std::string ServiceLibraryFolder() {
  const std::string program = ProgramFolder();
  struct stat st {};
  if (::stat((program + "/" + kInt13Companion).c_str(), &st) == 0) return program;
  const auto slash = program.rfind('/');
  const std::string prefix = slash == std::string::npos ? std::string("..") : program.substr(0, slash);
  return prefix + "/lib/ambrelic";
}

}  // namespace ambrelic::platform
