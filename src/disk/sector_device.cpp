#include "disk/sector_device.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <vector>

namespace ambrelic::disk {

namespace {

// Reads through the command's record, or through one of its own (nothing
// counted, no run of failures remembered) when the context has none.
bool Salvaged(const VolumeContext& ctx, std::uint64_t offset, std::span<std::uint8_t> out,
              const MediaErrors::RawRead& raw, ReadGaps* gaps) {
  if (ctx.media) return ctx.media->Read(offset, out, ctx.bytesPerSector, raw, gaps);
  MediaErrors scratch;
  return scratch.Read(offset, out, ctx.bytesPerSector, raw, gaps);
}

bool DiskTransfer(const VolumeContext& ctx, std::uint8_t* data, std::uint32_t lba, std::uint32_t count,
                  bool write);

// The disk back end read through the salvage: sector numbers are absolute
// LBAs, so byte offsets on the disk.
bool DiskRead(const VolumeContext& ctx, std::uint8_t* buffer, std::uint64_t first, std::uint32_t count,
              ReadGaps* gaps) {
  const std::uint32_t bps = ctx.bytesPerSector;
  const std::size_t length = static_cast<std::size_t>(count) * bps;
  if (bps == 0 || first > 0xFFFFFFFFull || 0xFFFFFFFFull - first < count) {
    std::memset(buffer, 0, length);
    return false;
  }
  const MediaErrors::RawRead raw = [&](std::uint64_t offset, std::span<std::uint8_t> out) {
    const auto lba = static_cast<std::uint32_t>(offset / bps);
    const auto n = static_cast<std::uint32_t>(out.size() / bps);
    return DiskTransfer(ctx, out.data(), lba, n, false) ? 0 : EIO;
  };
  return Salvaged(ctx, first * bps, std::span<std::uint8_t>(buffer, length), raw, gaps);
}

}  // namespace

std::uint64_t UnreadableEvents(const VolumeContext& ctx) { return ctx.media ? ctx.media->Events() : 0; }

bool DeviceAbandoned(const VolumeContext& ctx) { return ctx.media && ctx.media->Abandoned(); }

void RecoveredSectors(const VolumeContext& ctx, std::uint64_t first, std::uint64_t count) {
  if (ctx.media) ctx.media->Recovered(first * ctx.bytesPerSector, count * ctx.bytesPerSector);
}

bool ReadVolumeSectors(const VolumeContext& ctx, std::uint64_t first, std::uint32_t count,
                       std::uint8_t* buffer, ReadGaps* gaps) {
  const std::uint64_t length = static_cast<std::uint64_t>(count) * ctx.bytesPerSector;
  std::span<std::uint8_t> out(buffer, length);
  if (!ctx.volumeHandle) {
    std::memset(buffer, 0, length);
    return false;
  }
  platform::BlockDevice& device = *ctx.volumeHandle;
  const std::uint64_t offset = first * ctx.bytesPerSector;
  const MediaErrors::RawRead raw = [&device](std::uint64_t at, std::span<std::uint8_t> part) {
    return device.ReadChecked(at, part);
  };
  const bool read = Salvaged(ctx, offset, out, raw, gaps);
  // Bytes past the end of the volume are zeros without being a failure of
  // the medium; the read still did not deliver them.
  const std::uint64_t size = device.Size();
  return read && offset <= size && size - offset >= length;
}

bool WriteVolumeSectors(const VolumeContext& ctx, std::uint64_t first, std::uint32_t count,
                        const std::uint8_t* buffer) {
  const std::uint64_t length = static_cast<std::uint64_t>(count) * ctx.bytesPerSector;
  if (!ctx.volumeHandle) return false;
  return ctx.volumeHandle->WriteAt(first * ctx.bytesPerSector,
                                   std::span<const std::uint8_t>(buffer, length));
}

std::uint32_t DiskTransferChunk(std::uint16_t bytesPerSector, std::uint8_t sectorsPerTrack) {
  if (bytesPerSector == 0) return 0;
  if (static_cast<std::uint32_t>(bytesPerSector) * sectorsPerTrack < 65536) return sectorsPerTrack;
  return 65536 / bytesPerSector - 1;
}

namespace {

// One request split into service calls: LBA calls when the disk has the
// extensions, else CHS calls that never cross a track end. The service only
// ever sees the device's own transfer buffer, allocated once per request.
// True when every service call reported success (the designed callers do
// not look; the wipe counts what could not be written).
bool DiskTransfer(const VolumeContext& ctx, std::uint8_t* data, std::uint32_t lba,
                  std::uint32_t count, bool write) {
  const Int13Api* api = ctx.int13;
  const std::uint32_t bps = ctx.bytesPerSector;
  const std::uint32_t spt = ctx.geometry.sectorsPerTrack;
  if (count == 0 || !api || bps == 0 || spt == 0) {
    // Without a service or a usable geometry nothing can be transferred; a
    // read then yields zeros rather than stale bytes.
    if (!write && count) std::memset(data, 0, static_cast<std::size_t>(count) * bps);
    return count == 0;
  }
  const std::uint32_t chunk = DiskTransferChunk(ctx.bytesPerSector, ctx.geometry.sectorsPerTrack);
  if (chunk == 0) return false;
  bool ok = true;
  std::vector<std::uint8_t> transfer(static_cast<std::size_t>(bps) * chunk);
  std::size_t offset = 0;
  while (count > 0) {
    std::uint32_t n;
    if (ctx.hasInt13Extensions) {
      n = std::min(count, chunk);
      if (write) std::memcpy(transfer.data(), data + offset, static_cast<std::size_t>(n) * bps);
      else std::memset(transfer.data(), 0, static_cast<std::size_t>(n) * bps);
      ok = (api->i13x_io_sector && api->i13x_io_sector(ctx.bytesPerSector, ctx.biosDrive, transfer.data(),
                                                       write ? 0x43 : 0x42, lba, static_cast<int>(n)) == 0) &&
           ok;
    } else {
      const std::uint32_t perCylinder = (ctx.geometry.maxHead + 1u) * spt;
      const std::uint32_t cylinder = lba / perCylinder;
      const std::uint32_t r = lba % perCylinder;
      const std::uint32_t head = r / spt;
      const std::uint32_t s = r % spt;
      n = count;
      if (s + count > spt) n = spt - s;
      n = std::min(n, chunk);
      if (write) std::memcpy(transfer.data(), data + offset, static_cast<std::size_t>(n) * bps);
      else std::memset(transfer.data(), 0, static_cast<std::size_t>(n) * bps);
      ok = (api->i13_io_sector &&
            api->i13_io_sector(ctx.bytesPerSector, ctx.biosDrive, transfer.data(), write ? 3 : 2,
                               static_cast<int>(head), static_cast<int>(cylinder), static_cast<int>(s + 1),
                               static_cast<int>(n)) == 0) &&
           ok;
    }
    if (!write) std::memcpy(data + offset, transfer.data(), static_cast<std::size_t>(n) * bps);
    lba += n;
    offset += static_cast<std::size_t>(n) * bps;
    count -= n;
  }
  return ok;
}

}  // namespace

int ReadDiskSectors(const VolumeContext& ctx, std::uint8_t* buffer, std::uint32_t first,
                    std::uint32_t count) {
  DiskRead(ctx, buffer, first, count, nullptr);
  return 0;
}

int WriteDiskSectors(const VolumeContext& ctx, const std::uint8_t* buffer, std::uint32_t first,
                     std::uint32_t count) {
  DiskTransfer(ctx, const_cast<std::uint8_t*>(buffer), first, count, true);
  return 0;
}

bool ReadSectors(const VolumeContext& ctx, std::uint64_t sector, std::uint32_t count,
                 std::uint8_t* buffer, ReadGaps* gaps) {
  if (ctx.IsNtPlatform == 1) return ReadVolumeSectors(ctx, sector, count, buffer, gaps);
  if (sector > 0xFFFFFFFFull) {
    std::memset(buffer, 0, static_cast<std::size_t>(count) * ctx.bytesPerSector);
    return false;
  }
  return DiskRead(ctx, buffer, sector, count, gaps);
}

std::unique_ptr<platform::ResidentBytes> ViewSectors(const VolumeContext& ctx, std::uint64_t sector,
                                                     std::uint32_t count) {
  if (ctx.IsNtPlatform != 1 || !ctx.volumeHandle || ctx.bytesPerSector == 0) return nullptr;
  if (DeviceAbandoned(ctx) || UnreadableEvents(ctx) != 0) return nullptr;
  if (sector > ctx.volumeHandle->Size() / ctx.bytesPerSector) return nullptr;
  return ctx.volumeHandle->ViewResident(sector * ctx.bytesPerSector,
                                        static_cast<std::size_t>(count) * ctx.bytesPerSector);
}

bool WriteSectors(const VolumeContext& ctx, std::uint64_t sector, std::uint32_t count,
                  const std::uint8_t* buffer) {
  if (ctx.IsNtPlatform == 1) return WriteVolumeSectors(ctx, sector, count, buffer);
  if (sector > 0xFFFFFFFFull) return false;
  return DiskTransfer(ctx, const_cast<std::uint8_t*>(buffer), static_cast<std::uint32_t>(sector), count, true);
}

bool FlushSectors(const VolumeContext& ctx) {
  if (ctx.IsNtPlatform == 1) return ctx.volumeHandle && ctx.volumeHandle->Flush();
  return ctx.int13 && ctx.int13->dll16_flush_disk && ctx.int13->dll16_flush_disk(ctx.biosDrive) == 0;
}

}  // namespace ambrelic::disk
