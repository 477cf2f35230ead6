// Preparing an exFAT volume for the engine: the boot region, then what the
// root directory names (the allocation bitmap, the up-case table).
#pragma once

#include <cstdint>
#include <vector>

#include "disk/volume_context.h"
#include "exfat/volume_state.h"

namespace ambrelic::exfat {

// Reads the boot region into the context's exFAT state (VolumeOf), sets
// bytesPerSector, bytesPerCluster, lastCluster and volumeSerial, and loads the allocation bitmap(s) and the
// up-case table the root directory names. False for a boot region no exFAT
// volume can have. A volume whose root names no readable bitmap is still
// prepared: every cluster then counts as in use, so a search lists deleted
// files only with include used, and a wipe refuses it.
bool PrepareExfatVolume(disk::VolumeContext& ctx);

// Reads a bitmap the root directory named, cut to the volume's clusters.
// False (bits untouched) when it cannot be read whole or is shorter than
// the volume needs: a bitmap of zeros would call every cluster free.
bool ReadBitmap(const disk::VolumeContext& ctx, const ExfatVolume::Extent& extent,
                std::vector<std::uint8_t>& bits);

// Forgets which clusters the last search walk read as folders (the search
// and scan-all commands end with it, as they free the FAT walk's marks). The
// streams noted for the rows stay until the next preparation: the restore
// reads them.
void ReleaseWalkMarks(disk::VolumeContext& ctx);

}  // namespace ambrelic::exfat
