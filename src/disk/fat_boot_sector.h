// The FAT boot sector: where the allocation tables, the root directory and
// the data area begin, and the highest cluster number.
#pragma once

#include <cstdint>
#include <span>

#include "disk/volume_context.h"

namespace ambrelic::disk {

// Which FAT a volume holds. The partition type byte (or the type text of a
// removable disk, or the drive letter of a floppy) says only that the volume
// holds FAT; the volume's own layout says which, as the systems that mount it
// decide: a 16-bit sectors-per-FAT of 0 is FAT32, otherwise fewer than 4085
// clusters is FAT12 and more is FAT16. claimed comes back unchanged when it is
// not a FAT kind, or when bootSector is no FAT boot sector whose geometry can
// be believed (the loader then judges the volume by the claimed kind).
FsKind FatKindFromLayout(FsKind claimed, std::span<const std::uint8_t> bootSector);

// Bits of one allocation entry (12, 16 or 32), and the highest cluster
// number such an entry can name (0xFF6, 0xFFF6, 0x0FFFFFF6).
unsigned FatEntryBits(FsKind kind);
std::uint64_t HighestClusterNumber(FsKind kind);

// Reads the boot sector of the volume whose kind the caller has set in
// ctx.fsKind (Fat12, Fat16 or Fat32) and fills the FAT parameters.
// partitionStart is added to every sector number on the 9x path (absolute
// disk sectors there). volumeSectors, when not 0, is the size of what can be
// read, in sectors of the parsed size, counted from partitionStart.
//
// Returns false, leaving the layout unusable, for a boot sector no FAT
// volume can have: bytes per sector not a power of two from 512 to 4096,
// 0 sectors per cluster, 0 allocation tables or 0 sectors per table, or a
// layout (tables, root directory, data area) that ends past the volume.
// The number of allocation tables is read from the sector, not assumed.
//
// lastCluster is bounded, whatever the total-sector count claims, by the
// sectors the volume has (volumeSectors, when known), by the entries the
// table holds (sectors per FAT x bytes per sector x 8 / entry bits) and by
// the highest cluster number an entry of the kind can name.
bool ParseFatBootSector(VolumeContext& ctx, std::uint32_t partitionStart,
                        std::uint64_t volumeSectors = 0);

// The same parse over bytes already read (tests, and the 9x enumeration).
bool ParseFatBootSectorBytes(VolumeContext& ctx, const std::uint8_t* sector, std::size_t size,
                             std::uint32_t partitionStart, std::uint64_t volumeSectors = 0);

}  // namespace ambrelic::disk
