#include "ui/windows9x.h"

#include <cerrno>
#include <optional>
#include <tuple>
#include <vector>

#include "disk/fat_boot_sector.h"
#include "disk/sector_device.h"
#include "platform/volume_info.h"

namespace ambrelic::ui {
namespace {

std::string BaseName(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string GeometryRefusal(const std::string& path, int heads, int sectors, int error) {
  std::string text = "The disk " + path + " cannot be used as a BIOS disk with " + std::to_string(heads) +
                     " heads and " + std::to_string(sectors) + " sectors per track";
  if (error == EINVAL) {
    text += ": a BIOS disk has 1 to 256 heads and 1 to 63 sectors per track, and at least one track.";
  } else {
    text += ": " + platform::ErrorText(error);
  }
  return text;
}

void Name(platform::Drive& d) {
  d.root = std::string(1, d.letter) + ":\\";
  d.displayName = (d.label.empty() ? BaseName(d.sourcePath) : d.label) + " (" + d.letter + ":)";
}

}  // namespace

std::pair<int, int> FloppyGeometry(std::uint64_t bytes) {
  switch (bytes / 1024) {
    case 160: return {1, 8};
    case 180: return {1, 9};
    case 320: return {2, 8};
    case 360: case 720: return {2, 9};
    case 1200: return {2, 15};
    case 2880: return {2, 36};
    default: return {2, 18};
  }
}

disk::VolumeContext Windows9xPlatform::DiskContext(std::uint8_t drive) const {
  disk::VolumeContext ctx;
  ctx.IsNtPlatform = 0;
  ctx.int13 = &service_.Api();
  ctx.biosDrive = drive;
  std::uint8_t block[8] = {};
  ctx.int13->i13_get_drive_parameter(drive, block);
  ctx.geometry = {block[2], block[6]};
  ctx.hasInt13Extensions = ctx.int13->i13_lba_check(drive);
  return ctx;
}

std::string Windows9xPlatform::Start(const std::vector<platform::DriveSource>& sources,
                                     const Windows9xOptions& options, const std::string& folder) {
  if (service_.Load(folder) != platform::Int13LoadResult::Loaded) return service_.FailureMessage();
  std::uint8_t nextFloppy = 0x00;
  std::uint8_t nextDisk = 0x80;
  for (const auto& s : sources) {
    BiosDisk disk;
    disk.path = s.path;
    disk.floppy = s.floppy;
    disk.removable = s.removable;
    int heads = options.heads, sectors = options.sectorsPerTrack;
    bool lba = options.lba;
    if (s.floppy) {
      if (nextFloppy > 0x01) {
        notes_.push_back("only two floppy drives: " + s.path + " is left out");
        continue;
      }
      disk.drive = nextFloppy;
      std::tie(heads, sectors) = FloppyGeometry(platform::DeviceSizeOf(s.path));
      lba = false;
    } else {
      if (nextDisk > 0xFF - 1) continue;
      disk.drive = nextDisk;
      if (s.removable) std::tie(heads, sectors) = std::pair{kRemovableHeads, kRemovableSectorsPerTrack};
    }
    disk.heads = heads;
    disk.sectorsPerTrack = sectors;
    disk.lba = lba;
    const int rc = service_.AttachDisk(disk.drive, s.path, heads, sectors, lba, false);
    if (rc != 0) {
      notes_.push_back(GeometryRefusal(s.path, heads, sectors, rc));
      continue;
    }
    if (s.floppy) ++nextFloppy;
    else ++nextDisk;
    disks_.push_back(disk);
  }
  disk::VolumeContext ctx;
  ctx.IsNtPlatform = 0;
  ctx.int13 = &service_.Api();
  walk_.diskSectors = [this](std::uint8_t drive) { return service_.DiskSectors(drive); };
  disk::EnumerateDiskPartitions(ctx, walk_);
  return std::string();
}

int Windows9xPlatform::SetDiskWritable(std::uint8_t biosDrive, bool writable) {
  for (const auto& d : disks_) {
    if (d.drive != biosDrive) continue;
    const int rc = service_.AttachDisk(d.drive, d.path, d.heads, d.sectorsPerTrack, d.lba, writable);
    // A refused writable open leaves the disk unserved: serve it read-only again.
    if (rc != 0 && writable) service_.AttachDisk(d.drive, d.path, d.heads, d.sectorsPerTrack, d.lba, false);
    return rc;
  }
  return ENODEV;
}

std::string Windows9xPlatform::DiskPath(std::uint8_t biosDrive) const {
  for (const auto& d : disks_) {
    if (d.drive == biosDrive) return d.path;
  }
  return std::string();
}

std::vector<platform::Drive> Windows9xPlatform::BuildDriveTable() {
  std::vector<platform::Drive> drives;
  // Floppy drives: A: and B:.
  for (const auto& d : disks_) {
    if (!d.floppy) continue;
    platform::Drive drive;
    drive.letter = d.drive == 0x00 ? 'A' : 'B';
    drive.type = platform::DriveType::Removable;
    drive.sourcePath = d.path;
    drives.push_back(drive);
  }
  // Fixed drives as DOS letters them: every FAT partition DOS sees on the
  // hard disks, whatever their geometry, in the same order the program's
  // own letter order follows.
  disk::PartitionWalk dos;
  dos.diskSectors = walk_.diskSectors;
  for (const auto& d : disks_) {
    if (d.floppy || d.removable) continue;
    disk::VolumeContext ctx = DiskContext(d.drive);
    disk::WalkDiskPartitions(ctx, dos);
  }
  {
    disk::VolumeContext ctx = DiskContext(0x80);
    disk::ReadPartitionSerials(ctx, dos);
  }
  disk::BuildLetterOrder(dos);
  char letter = 'C';
  for (int k = 0; k < disk::kMaxPartitions && dos.LetterOrder[k] != disk::kNoIndex && letter <= 'Z'; ++k) {
    const disk::PartitionRecord& r = dos.PartitionList[dos.LetterOrder[k]];
    platform::Drive drive;
    drive.letter = letter++;
    drive.type = platform::DriveType::Fixed;
    for (const auto& d : disks_) {
      if (d.drive == r.biosDrive) drive.sourcePath = d.path;
    }
    drive.offset = static_cast<std::uint64_t>(r.start) * 512;
    // The volume ends where its partition entry says, as preparation bounds it.
    drive.length = static_cast<std::uint64_t>(r.sectors) * 512;
    drive.partitionType = r.type;
    drive.fromTable = true;
    drives.push_back(drive);
  }
  // Removable disks come after the fixed drives.
  for (const auto& d : disks_) {
    if (d.floppy || !d.removable || letter > 'Z') continue;
    platform::Drive drive;
    drive.letter = letter++;
    drive.type = platform::DriveType::Removable;
    drive.sourcePath = d.path;
    // The volume Windows reports for a partitioned removable disk is its
    // first FAT partition's.
    disk::VolumeContext ctx = DiskContext(d.drive);
    std::vector<std::uint8_t> sector(512);
    disk::ReadDiskSectors(ctx, sector.data(), 0, 1);
    if (!platform::LooksLikeVolumeBootSector(sector)) {
      for (const auto& e : disk::DecodePartitionTable(sector.data())) {
        if (disk::IsFatPartitionType(e.type)) {
          drive.offset = static_cast<std::uint64_t>(e.relativeStart) * 512;
          break;
        }
      }
    }
    drives.push_back(drive);
  }

  // Labels and binding, in drive-letter order, with one running index into
  // the disks the walk set aside.
  walk_.letterTaken.fill(0);
  int k = 0;
  auto nextOtherDisk = [&]() -> std::uint8_t {
    const std::uint8_t number = k < disk::kMaxOtherDisks ? walk_.OtherDiskNumbers[k] : 0;
    ++k;
    return number;
  };
  for (auto& drive : drives) {
    const platform::VolumeQuery q = platform::QueryVolumeInformation(drive.sourcePath, drive.offset, drive.length);
    if (q.ok) drive.label = q.info.label;
    if (drive.type == platform::DriveType::Removable) {
      if (drive.letter == 'A') drive.link = 0x00;
      else if (drive.letter == 'B') drive.link = 0x01;
      else drive.link = nextOtherDisk();
    } else {
      std::optional<std::uint32_t> serial;
      if (q.ok) serial = q.info.serial;
      const auto index = disk::MatchDriveToPartition(walk_, serial);
      if (index) {
        drive.link = *index;
      } else {
        drive.type = platform::DriveType::Removable;
        drive.link = nextOtherDisk();
      }
    }
    Name(drive);
  }
  return drives;
}

}  // namespace ambrelic::ui
