// The exFAT boot region: the boot sector's layout, checked field by field
// against itself and against the device, and the region's checksum. The
// main region (sectors 0-11) is used when its checksum holds, else the
// backup (sectors 12-23) when its does, else the main one as it stands.
#pragma once

#include <cstdint>

#include "disk/byte_reader.h"
#include "exfat/volume_state.h"
#include "disk/volume_context.h"

namespace ambrelic::exfat {

// True when the sector carries "EXFAT   " at offset 3 (what tells an exFAT
// volume from an NTFS one behind the partition type 0x07 they share).
bool HasExfatSignature(disk::Bytes sector);

// The boot checksum over the first 11 sectors of a region of sectors of
// bytesPerSector bytes (bytes 106, 107 and 112 of the first sector, the
// volume flags and percent in use, are left out).
std::uint32_t BootChecksum(disk::Bytes region, std::size_t bytesPerSector);

// Parses a boot sector into a fresh layout in out (tables empty). deviceBytes is the
// size of what can be read (0: unknown). False for a sector no exFAT volume
// can have: no signature, a non-zero byte where FAT keeps its parameter
// block, a sector size outside 512-4096 bytes, a cluster above 32 MiB, no
// FAT or more than two, a FAT that overlaps the boot region or the cluster
// heap or cannot describe every cluster, a heap that ends past the volume,
// a root directory outside the heap, or a heap that starts past the end of
// the device. lastCluster is cut to the clusters the device holds.
bool ParseExfatBootSector(disk::Bytes sector, std::uint64_t deviceBytes, ExfatVolume& out);

// Reads the boot region of the volume open in ctx into out's layout; bootChecksumOk tells whether the region used passed its checksum.
bool ReadBootRegion(const disk::VolumeContext& ctx, ExfatVolume& out);

}  // namespace ambrelic::exfat
