// The INT 13h service library: the four entry points the program takes by
// name, on top of the companion library's disk table.
#include <cstdint>

#include "platform/int13/bios_disk_table.h"

extern "C" {

// Nonzero when the extended (LBA) functions are available for the drive.
int i13_lba_check(std::uint8_t drive) {
  int lba = 0;
  if (!dll16_disk_info(drive, nullptr, nullptr, &lba, nullptr)) return 0;
  return lba;
}

// Fills the 8-byte parameter block (byte 2: highest head number, byte 6:
// sectors per track; byte 0: number of drives of this kind, bytes 3-4: the
// highest cylinder, as the BIOS reports them). 1 when the drive exists.
int i13_get_drive_parameter(std::uint8_t drive, std::uint8_t* block) {
  int heads = 0, spt = 0;
  std::uint64_t sectors = 0;
  if (!dll16_disk_info(drive, &heads, &spt, nullptr, &sectors)) return 0;
  if (block) {
    int count = 0;
    const std::uint8_t first = drive & 0x80;
    for (int d = first; d < first + 0x80; ++d) {
      if (dll16_disk_info(static_cast<std::uint8_t>(d), nullptr, nullptr, nullptr, nullptr)) ++count;
    }
    std::uint64_t cylinders = sectors / (static_cast<std::uint64_t>(heads) * spt);
    if (cylinders > 1024) cylinders = 1024;
    const unsigned maxCylinder = cylinders ? static_cast<unsigned>(cylinders - 1) : 0;
    block[0] = static_cast<std::uint8_t>(count);
    block[1] = 0;
    block[2] = static_cast<std::uint8_t>(heads - 1);
    block[3] = static_cast<std::uint8_t>(maxCylinder & 0xFF);
    block[4] = static_cast<std::uint8_t>(maxCylinder >> 8);
    block[5] = 0;
    block[6] = static_cast<std::uint8_t>(spt);
    block[7] = 0;
  }
  return 1;
}

// CHS transfer (function 2 read, 3 write). Returns 0 on success, 1 on failure.
int i13_io_sector(std::uint16_t bytesPerSector, std::uint8_t drive, void* buffer, int function, int head,
                  int cylinder, int sector, int count) {
  int heads = 0, spt = 0;
  if (!dll16_disk_info(drive, &heads, &spt, nullptr, nullptr)) return 1;
  if ((function != 2 && function != 3) || sector < 1 || sector > spt || head < 0 || head >= heads ||
      cylinder < 0 || count < 0) {
    return 1;
  }
  const std::uint64_t lba =
      (static_cast<std::uint64_t>(cylinder) * heads + static_cast<std::uint64_t>(head)) * spt +
      static_cast<std::uint64_t>(sector - 1);
  return dll16_transfer(drive, bytesPerSector, lba, count, buffer, function == 3);
}

// Extended transfer (0x42 read, 0x43 write) at a 32-bit LBA.
int i13x_io_sector(std::uint16_t bytesPerSector, std::uint8_t drive, void* buffer, int function,
                   std::uint32_t lba, int count) {
  if (!i13_lba_check(drive)) return 1;
  if (function != 0x42 && function != 0x43) return 1;
  return dll16_transfer(drive, bytesPerSector, lba, count, buffer, function == 0x43);
}
}
