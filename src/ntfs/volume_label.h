// The label of an NTFS volume: the $VOLUME_NAME attribute of the $Volume
// file (MFT record 3), which is where NTFS keeps it (its boot sector has
// none). The drive list names a volume by its label.
#pragma once

#include <string>

#include "disk/volume_context.h"

namespace ambrelic::ntfs {

inline constexpr std::uint32_t kVolumeRecord = 3;
inline constexpr std::uint32_t kAttrVolumeName = 0x60;

// The label in locale text; empty when the volume has none, or when record
// 3 is not a file record holding a resident $VOLUME_NAME. ctx is prepared
// (PrepareNtfsVolume).
std::string ReadVolumeLabel(const disk::VolumeContext& ctx);

}  // namespace ambrelic::ntfs
