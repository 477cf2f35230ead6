#include "platform/drives.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <fstream>
#include <memory>
#include <set>

#include "platform/bytes.h"
#include "platform/boot_sector.h"
#include "platform/image_sources.h"
#include "platform/volume_info.h"

namespace ambrelic::platform {
namespace {

constexpr std::size_t kEntryTable = 0x1BE;
constexpr std::uint32_t kMaxGptEntries = 256;

bool IsExtendedType(std::uint8_t t) { return t == 0x05 || t == 0x0F || t == 0x85; }

bool HasBootSignature(std::span<const std::uint8_t> s) {
  return s.size() >= 512 && s[510] == 0x55 && s[511] == 0xAA;
}

std::vector<std::uint8_t> ReadSector(BlockDevice& device, std::uint64_t lba, std::uint16_t sectorSize) {
  std::vector<std::uint8_t> s(std::max<std::size_t>(sectorSize, 512));
  // Past the end of the source ReadAt hands back zeros, which no check
  // below accepts; sectorSize is at most 4096 (BLKSSZGET) so lba * size
  // cannot overflow for a 32-bit or in-range 64-bit lba.
  if (lba > device.Size() / sectorSize) return std::vector<std::uint8_t>(s.size(), 0);
  device.ReadAt(lba * sectorSize, s);
  return s;
}

// Appends a slot for [startLba, startLba + count) clipped to the source;
// partitions that start past the end are left out.
void AddSlot(std::vector<PartitionSlot>& out, const BlockDevice& device, std::uint64_t startLba,
             std::uint64_t count, std::uint16_t sectorSize, std::uint8_t type, bool gpt) {
  const std::uint64_t size = device.Size();
  if (count == 0 || startLba == 0 || startLba >= size / sectorSize) return;
  PartitionSlot slot;
  slot.offset = startLba * sectorSize;
  const std::uint64_t avail = size - slot.offset;
  slot.length = count > avail / sectorSize ? avail : count * sectorSize;
  slot.type = type;
  slot.gpt = gpt;
  out.push_back(slot);
}

std::vector<PartitionSlot> ReadGpt(BlockDevice& device, std::uint16_t ss) {
  std::vector<PartitionSlot> out;
  const auto header = ReadSector(device, 1, ss);
  if (std::memcmp(header.data(), "EFI PART", 8) != 0) return out;
  const Bytes h(header);
  const std::uint64_t entriesLba = le64(h, 72);
  const std::uint32_t count = std::min(le32(h, 80), kMaxGptEntries);
  const std::uint32_t entrySize = le32(h, 84);
  if (entrySize < 128 || entrySize > 1024 || entrySize % 8 != 0) return out;
  if (entriesLba == 0 || entriesLba >= device.Size() / ss) return out;
  std::vector<std::uint8_t> entries(static_cast<std::size_t>(count) * entrySize);
  device.ReadAt(entriesLba * ss, entries);
  const Bytes e(entries);
  for (std::uint32_t i = 0; i < count; ++i) {
    const std::size_t at = static_cast<std::size_t>(i) * entrySize;
    if (!Fits(at, entrySize, e.size())) break;
    bool used = false;
    for (std::size_t k = 0; k < 16; ++k) used = used || e[at + k] != 0;
    if (!used) continue;
    const std::uint64_t first = le64(e, at + 32);
    const std::uint64_t last = le64(e, at + 40);
    if (last < first) continue;
    AddSlot(out, device, first, last - first + 1, ss, 0, true);
  }
  return out;
}

void WalkExtended(BlockDevice& device, std::uint16_t ss, std::uint32_t extStart,
                  std::vector<PartitionSlot>& out) {
  std::set<std::uint64_t> visited;
  std::uint64_t ebr = extStart;
  // The chain is bounded by a count of our own and by the records already
  // seen, so a table that links back to itself ends.
  for (int n = 0; n < kMaxLogical && visited.insert(ebr).second; ++n) {
    const auto rec = ReadSector(device, ebr, ss);
    if (!HasBootSignature(rec)) return;
    const Bytes r(rec);
    const std::size_t e0 = kEntryTable, e1 = kEntryTable + 16;
    const std::uint8_t type0 = le8(r, e0 + 4);
    if (type0 != 0 && !IsExtendedType(type0)) {
      AddSlot(out, device, ebr + le32(r, e0 + 8), le32(r, e0 + 12), ss, type0, false);
    }
    const std::uint8_t type1 = le8(r, e1 + 4);
    const std::uint32_t rel1 = le32(r, e1 + 8);
    if (!IsExtendedType(type1) || rel1 == 0) return;
    ebr = static_cast<std::uint64_t>(extStart) + rel1;
  }
}

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string ReadSysfsLine(const std::string& file) {
  std::ifstream in(file);
  std::string line;
  std::getline(in, line);
  return line;
}

// Facts of one volume read from its first sector (or that sector's copy,
// when it cannot be read).
void FillVolumeFacts(Drive& d, BlockDevice* device) {
  if (!device) return;
  const std::vector<std::uint8_t> sector = ReadBootSector(*device).bytes;
  if (!d.fromTable) d.partitionType = InferPartitionType(sector);
  if (const auto info = VolumeInformationFromBootSector(sector)) {
    d.label = info->fileSystem == "exFAT" ? ReadExfatLabel(*device, sector) : info->label;
  }
}

}  // namespace

std::vector<PartitionSlot> ReadPartitionSlots(BlockDevice& device, std::uint16_t ss) {
  std::vector<PartitionSlot> out;
  if (ss < 512 || ss > 4096) ss = 512;
  const auto mbr = ReadSector(device, 0, ss);
  if (!HasBootSignature(mbr) || LooksLikeVolumeBootSector(mbr)) return out;
  const Bytes m(mbr);
  // A table is believed only when every entry's boot flag is 0 or 0x80 and
  // at least one entry is in use.
  bool any = false;
  for (int i = 0; i < 4; ++i) {
    const std::size_t e = kEntryTable + 16 * static_cast<std::size_t>(i);
    const std::uint8_t flag = le8(m, e);
    if (flag != 0 && flag != 0x80) return out;
    if (le8(m, e + 4) != 0) any = true;
  }
  if (!any) return out;
  for (int i = 0; i < 4; ++i) {
    if (le8(m, kEntryTable + 16 * static_cast<std::size_t>(i) + 4) == 0xEE) return ReadGpt(device, ss);
  }
  std::vector<std::uint32_t> extended;
  for (int i = 0; i < 4; ++i) {
    const std::size_t e = kEntryTable + 16 * static_cast<std::size_t>(i);
    const std::uint8_t type = le8(m, e + 4);
    if (type == 0) continue;
    if (IsExtendedType(type)) {
      extended.push_back(le32(m, e + 8));
      continue;
    }
    AddSlot(out, device, le32(m, e + 8), le32(m, e + 12), ss, type, false);
  }
  for (std::uint32_t start : extended) {
    if (start != 0) WalkExtended(device, ss, start, out);
  }
  return out;
}

bool SysfsRemovable(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return false;
  std::string dir = "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" +
                    std::to_string(minor(st.st_rdev));
  // A partition's own folder has no "removable"; its disk's folder does.
  if (::access((dir + "/partition").c_str(), F_OK) == 0) dir += "/..";
  return ReadSysfsLine(dir + "/removable") == "1";
}

std::uint16_t SourceSectorSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISBLK(st.st_mode)) return 512;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 512;
  int size = 0;
  const bool ok = ::ioctl(fd, BLKSSZGET, &size) == 0;
  ::close(fd);
  if (!ok || size < 512 || size > 4096 || (size & (size - 1)) != 0) return 512;
  return static_cast<std::uint16_t>(size);
}

std::vector<std::string> MachineBlockDevices(std::vector<std::pair<std::string, int>>* refused) {
  std::vector<std::string> out;
  DIR* dir = ::opendir("/sys/block");
  if (!dir) return out;
  std::vector<std::string> names;
  while (dirent* ent = ::readdir(dir)) {
    const std::string name = ent->d_name;
    if (name.empty() || name[0] == '.') continue;
    if (name.rfind("ram", 0) == 0 || name.rfind("zram", 0) == 0) continue;
    if (ReadSysfsLine("/sys/block/" + name + "/size") == "0") continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  for (const auto& name : names) {
    const std::string path = "/dev/" + name;
    OpenResult opened = OpenFileDevice(path);
    if (!opened.device) {
      // Not readable as this user (or not ready): what it holds cannot be
      // told, and the user must learn why it is not listed.
      if (refused) refused->emplace_back(path, opened.error);
      continue;
    }
    const std::vector<std::uint8_t> sector = ReadBootSector(*opened.device).bytes;
    if (LooksLikeVolumeBootSector(sector) ||
        !ReadPartitionSlots(*opened.device, SourceSectorSize(path)).empty()) {
      out.push_back(path);
    }
  }
  return out;
}

DriveTable BuildDriveTable(const std::vector<DriveSource>& given) {
  DriveTable table;
  std::vector<DriveSource> sources = given;
  if (sources.empty()) {
    table.machineSources = true;
    for (const auto& path : MachineBlockDevices(&table.unreadable)) sources.push_back({path, false, false, {}});
  }
  for (const auto& src : sources) {
    if (!src.mapfile.empty()) UseMapfile(src.path, src.mapfile);
    const std::string mapfile = MapfileFor(src.path);
    if (mapfile.empty()) continue;
    RescueMap map;
    std::string why;
    if (ReadRescueMap(mapfile, map, why)) {
      table.notes.push_back(src.path + ": ddrescue mapfile " + mapfile +
                            " used: what it does not mark finished is read as unreadable sectors");
    } else {
      table.notes.push_back(mapfile + ": not a ddrescue mapfile (" + why + "); " + src.path +
                            " is not read without it");
    }
  }
  std::vector<Drive> floppies, others;
  for (const auto& src : sources) {
    Drive base;
    base.sourcePath = src.path;
    base.sectorSize = SourceSectorSize(src.path);
    base.type = (src.floppy || src.removable || SysfsRemovable(src.path)) ? DriveType::Removable
                                                                           : DriveType::Fixed;
    OpenResult opened = OpenFileDevice(src.path);
    if (!opened.device) table.unreadable.emplace_back(src.path, opened.error);
    if (src.floppy) {
      FillVolumeFacts(base, opened.device.get());
      floppies.push_back(base);
      continue;
    }
    std::vector<PartitionSlot> slots;
    if (opened.device) slots = ReadPartitionSlots(*opened.device, base.sectorSize);
    if (slots.empty()) {
      FillVolumeFacts(base, opened.device.get());
      others.push_back(base);
      continue;
    }
    for (const auto& slot : slots) {
      Drive d = base;
      d.offset = slot.offset;
      d.length = slot.length;
      d.fromTable = !slot.gpt;
      d.partitionType = slot.type;
      auto part = std::make_shared<SliceDevice>(opened.device, slot.offset, slot.length);
      FillVolumeFacts(d, part.get());
      others.push_back(d);
    }
  }
  auto assign = [&](Drive& d, char letter) {
    d.letter = letter;
    d.root = std::string(1, letter) + ":\\";
    d.displayName = DriveDisplayName(d);
    table.drives.push_back(d);
  };
  for (std::size_t i = 0; i < floppies.size(); ++i) {
    if (i >= 2) {
      table.notes.push_back("only two floppy drives (A: and B:); " + floppies[i].sourcePath + " is not listed");
      continue;
    }
    assign(floppies[i], static_cast<char>('A' + i));
  }
  for (std::size_t i = 0; i < others.size(); ++i) {
    if (i >= 24) {
      table.notes.push_back("no drive letter left for " + others[i].sourcePath);
      continue;
    }
    assign(others[i], static_cast<char>('C' + i));
  }
  return table;
}

DriveTable BuildDriveTableAfter(const std::vector<Drive>& listed, const std::vector<DriveSource>& sources) {
  DriveTable table = BuildDriveTable(sources);
  char next = 'C';
  for (const Drive& d : listed) {
    if (d.letter >= next) next = static_cast<char>(d.letter + 1);
  }
  std::vector<Drive> lettered;
  for (Drive& d : table.drives) {
    if (next > 'Z') {
      table.notes.push_back("no drive letter left for " + d.sourcePath);
      continue;
    }
    d.letter = next++;
    d.root = std::string(1, d.letter) + ":\\";
    d.displayName = DriveDisplayName(d);
    lettered.push_back(std::move(d));
  }
  table.drives = std::move(lettered);
  return table;
}

std::string DriveDisplayName(const Drive& drive) {
  return (drive.label.empty() ? BaseName(drive.sourcePath) : drive.label) + " (" + drive.letter + ":)";
}

int PreselectedPosition(const std::vector<Drive>& drives) {
  const int c = PositionOfLetter(drives, 'C');
  if (c >= 0) return c;
  return drives.empty() ? -1 : 0;
}

int PositionOfLetter(const std::vector<Drive>& drives, char letter) {
  const char want = static_cast<char>(std::toupper(static_cast<unsigned char>(letter)));
  for (std::size_t i = 0; i < drives.size(); ++i) {
    if (drives[i].letter == want) return static_cast<int>(i);
  }
  return -1;
}

}  // namespace ambrelic::platform
