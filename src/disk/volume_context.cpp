#include "disk/volume_context.h"

namespace ambrelic::disk {

FsKind KindFromPartitionType(std::uint8_t type) {
  switch (type) {
    case 0x01: return FsKind::Fat12;
    case 0x04: case 0x06: case 0x0E: return FsKind::Fat16;
    case 0x0B: case 0x0C: return FsKind::Fat32;
    case 0x07: case 0x86: case 0x87: return FsKind::Ntfs;
    default: return FsKind::None;
  }
}

const char* FsKindName(FsKind kind) {
  switch (kind) {
    case FsKind::Fat12: return "FAT12";
    case FsKind::Fat16: return "FAT16";
    case FsKind::Fat32: return "FAT32";
    case FsKind::Ntfs: return "NTFS";
    case FsKind::Exfat: return "exFAT";
    default: return "none";
  }
}

}  // namespace ambrelic::disk
