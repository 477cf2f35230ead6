// The Windows 9x path on Linux: the sources are served as BIOS disks by the
// INT 13h stand-in (floppies as 0x00 and 0x01, the others from 0x80), the
// partition tables are walked the way the program walks them at start-up,
// and the drive list is the one a Windows 9x machine would report for those
// disks: letters as DOS hands them out, each fixed drive bound to its
// partition by volume serial number, the rest to the disks set aside.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "disk/partition_table.h"
#include "disk/volume_context.h"
#include "platform/bios_disks.h"
#include "platform/drives.h"

namespace ambrelic::ui {

struct Windows9xOptions {
  int heads = 255;           // --geometry HEADS,SECTORS
  int sectorsPerTrack = 63;
  bool lba = true;           // false with --no-lba
};

// What the BIOS reports for disks the user marks removable (a USB stick or
// a ZIP disk behind the BIOS): 64 heads and 32 sectors per track, so the
// start-up walk sets them aside as designed.
constexpr int kRemovableHeads = 64;
constexpr int kRemovableSectorsPerTrack = 32;

class Windows9xPlatform {
 public:
  // Start-up: loads the service from folder, serves the sources as BIOS
  // disks and walks their partition tables. Returns the message that ends
  // start-up ("Dll16.dll was not found." ...), or empty text when ready.
  // Sources that cannot be served with their geometry are left out, each
  // with a message in notes().
  std::string Start(const std::vector<platform::DriveSource>& sources, const Windows9xOptions& options,
                    const std::string& folder);

  // The drive list, in drive-letter order, bound as designed.
  std::vector<platform::Drive> BuildDriveTable();

  // Serves a BIOS disk again, for writing (the wipe) or read-only again.
  // 0, or the errno of the failed open (EBUSY: a mounted block device).
  int SetDiskWritable(std::uint8_t biosDrive, bool writable);
  // The source behind a BIOS disk, or empty text.
  std::string DiskPath(std::uint8_t biosDrive) const;

  const disk::PartitionWalk& Walk() const { return walk_; }
  const platform::Int13Api* Api() const { return &service_.Api(); }
  // Sectors (of 512 bytes) of an attached BIOS disk, 0 when unknown.
  std::uint64_t DiskSectors(std::uint8_t biosDrive) const { return service_.DiskSectors(biosDrive); }
  const std::vector<std::string>& notes() const { return notes_; }

 private:
  struct BiosDisk {
    std::uint8_t drive = 0;
    std::string path;
    bool floppy = false;
    bool removable = false;
    int heads = 0;
    int sectorsPerTrack = 0;
    bool lba = false;
  };
  disk::VolumeContext DiskContext(std::uint8_t drive) const;

  platform::Int13Service service_;
  std::vector<BiosDisk> disks_;
  disk::PartitionWalk walk_;
  std::vector<std::string> notes_;
};

// Standard floppy geometry by image size (heads, sectors per track).
std::pair<int, int> FloppyGeometry(std::uint64_t bytes);

}  // namespace ambrelic::ui
