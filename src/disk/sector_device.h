// The only path by which sectors are read or written. The volume back end
// (NT path) reads the open volume at byte offsets; the disk back end (9x
// path) reaches a whole BIOS disk through the INT 13h service.
#pragma once

#include <cstdint>
#include <memory>

#include "disk/media_errors.h"
#include "disk/volume_context.h"

namespace ambrelic::disk {

// Every read salvages what it can (ctx.media): a failed read is read again
// in pieces down to single sectors, and only sectors that cannot be read
// are zeros; gaps, when given, receives where they lie in the buffer.

// Volume back end: sector numbers relative to the volume's first sector.
// The buffer holds count * bytesPerSector bytes. Bytes that cannot be
// delivered read as zeros; the result is false then.
bool ReadVolumeSectors(const VolumeContext& ctx, std::uint64_t first, std::uint32_t count,
                       std::uint8_t* buffer, ReadGaps* gaps = nullptr);
bool WriteVolumeSectors(const VolumeContext& ctx, std::uint64_t first, std::uint32_t count,
                        const std::uint8_t* buffer);

// Disk back end: absolute LBA on the BIOS disk ctx.biosDrive; always 0.
int ReadDiskSectors(const VolumeContext& ctx, std::uint8_t* buffer, std::uint32_t first,
                    std::uint32_t count);
int WriteDiskSectors(const VolumeContext& ctx, const std::uint8_t* buffer, std::uint32_t first,
                     std::uint32_t count);

// Largest number of sectors one service call may move.
std::uint32_t DiskTransferChunk(std::uint16_t bytesPerSector, std::uint8_t sectorsPerTrack);

// The pair the platform calls for: volume sectors on the NT path, disk
// sectors (already absolute) on the 9x path. True when the transfer worked
// (on the 9x path: when every service call reported success).
bool ReadSectors(const VolumeContext& ctx, std::uint64_t sector, std::uint32_t count,
                 std::uint8_t* buffer, ReadGaps* gaps = nullptr);

// The sectors ReadSectors would read, where they lie in memory already and
// can be looked at without a copy; null when they cannot (the 9x path, a
// device that is not a plain file or disk, bytes not all in memory, or a
// medium that has failed a read in this command: those are read, so that
// the salvage sees every sector). A view that says it is spoiled is read
// again with ReadSectors.
std::unique_ptr<platform::ResidentBytes> ViewSectors(const VolumeContext& ctx, std::uint64_t sector,
                                                     std::uint32_t count);

// The running command's record of unreadable sectors: how many reads lost
// something so far (compare before and after), and whether the device was
// given up (every read since gives zeros at once; long loops stop).
std::uint64_t UnreadableEvents(const VolumeContext& ctx);
// Sectors (numbered as ReadSectors numbers them) that could not be read
// but whose bytes the caller took from a copy the volume keeps: they no
// longer count as missing.
void RecoveredSectors(const VolumeContext& ctx, std::uint64_t first, std::uint64_t count);
bool DeviceAbandoned(const VolumeContext& ctx);
bool WriteSectors(const VolumeContext& ctx, std::uint64_t sector, std::uint32_t count,
                  const std::uint8_t* buffer);

// Makes every write so far durable: the volume flushed on the NT path, the
// BIOS disk on the 9x path. False when that failed (or cannot be done).
bool FlushSectors(const VolumeContext& ctx);

}  // namespace ambrelic::disk
