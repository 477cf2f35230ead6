// The disk table behind the INT 13h stand-in: which image or block device
// serves which BIOS drive number, with which geometry. It lives in the
// companion library (dll16.so); the service library (dll32.so) exports the
// four INT 13h entry points on top of it.
#pragma once

#include <cstdint>

extern "C" {

// Serves `path` as BIOS drive `drive` (0x00/0x01 floppies, 0x80 upward hard
// disks) with `heads` heads (1..256) and `sectorsPerTrack` sectors per
// track (1..63); lba nonzero offers the extended functions; writable opens
// it for writing (a block device exclusively: EBUSY while mounted); an
// attached drive number is attached again. Returns 0 on
// success, else an errno value (EINVAL for an impossible geometry, or one
// larger than the image).
int dll16_attach_disk(std::uint8_t drive, const char* path, int heads, int sectorsPerTrack, int lba,
                      int writable);

// Forgets every disk.
void dll16_reset(void);

// Geometry of an attached drive; 0 when the drive is not attached.
int dll16_disk_info(std::uint8_t drive, int* heads, int* sectorsPerTrack, int* lba,
                    std::uint64_t* sectors);

// Moves count 512-byte-or-larger sectors at an absolute LBA. Sectors past
// the end of the image read as zeros. Returns 0 on success, 1 on failure
// (as the BIOS carry flag would say).
// Makes the writes to an attached drive durable (fsync). 0 on success, 1
// on failure or for a drive that is not attached.
int dll16_flush_disk(std::uint8_t drive);

int dll16_transfer(std::uint8_t drive, std::uint16_t bytesPerSector, std::uint64_t lba, int count,
                   void* buffer, int write);
}
