// The INT 13h service on the 9x path: a shared library of our own
// (dll32.so, which needs its companion dll16.so) loaded from the program's
// folder at start-up. It serves whole-disk images and block devices as BIOS
// disks: floppies as 0x00 and 0x01, hard disks from 0x80.
#pragma once

#include <cstdint>
#include <string>

namespace ambrelic::platform {

// The service's four entry points, taken by name.
struct Int13Api {
  using LbaCheck = int (*)(std::uint8_t drive);
  using GetDriveParameter = int (*)(std::uint8_t drive, std::uint8_t* block8);
  using IoSector = int (*)(std::uint16_t bytesPerSector, std::uint8_t drive, void* buffer,
                           int function, int head, int cylinder, int sector, int count);
  using IoSectorX = int (*)(std::uint16_t bytesPerSector, std::uint8_t drive, void* buffer,
                            int function, std::uint32_t lba, int count);
  LbaCheck i13_lba_check = nullptr;
  GetDriveParameter i13_get_drive_parameter = nullptr;
  IoSector i13_io_sector = nullptr;
  IoSectorX i13x_io_sector = nullptr;
  // Not an INT 13h function: the stand-in's own, so that a wipe can make
  // its writes durable before it tells of them. 0 on success.
  using FlushDisk = int (*)(std::uint8_t drive);
  FlushDisk dll16_flush_disk = nullptr;
};

enum class Int13LoadResult { Loaded, MissingCompanion, MissingLibrary, MissingExport };

class Int13Service {
 public:
  Int13Service() = default;
  ~Int13Service();
  Int13Service(const Int13Service&) = delete;
  Int13Service& operator=(const Int13Service&) = delete;

  // Looks for the companion, loads the library and takes its exports.
  Int13LoadResult Load(const std::string& folder);
  // The message that ends start-up for a failed Load.
  std::string FailureMessage() const;

  const Int13Api& Api() const { return api_; }
  // Serves a source as a BIOS disk; 0 or an errno value.
  int AttachDisk(std::uint8_t drive, const std::string& path, int heads, int sectorsPerTrack,
                 bool lba, bool writable) const;
  void Reset() const;
  // Sectors of 512 bytes of an attached drive, 0 when unknown.
  std::uint64_t DiskSectors(std::uint8_t drive) const;

 private:
  void* handle_ = nullptr;
  Int13Api api_;
  Int13LoadResult result_ = Int13LoadResult::MissingLibrary;
  std::string missingExport_;
  int (*attach_)(std::uint8_t, const char*, int, int, int, int) = nullptr;
  void (*reset_)() = nullptr;
  int (*info_)(std::uint8_t, int*, int*, int*, std::uint64_t*) = nullptr;
};

// The folder the running program lives in.
std::string ProgramFolder();

// Where the service library and its companion are loaded from: beside the
// program when they are there (the build tree), else the installed
// location, <prefix>/lib/ambrelic next to <prefix>/bin.
std::string ServiceLibraryFolder();

inline constexpr const char* kInt13Library = "dll32.so";
inline constexpr const char* kInt13Companion = "dll16.so";

}  // namespace ambrelic::platform
