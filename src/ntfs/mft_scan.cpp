#include "ntfs/mft_scan.h"

namespace ambrelic::ntfs {

// Placeholder until the MFT reader lands: no NTFS volume is accepted yet.
bool PrepareNtfsVolume(disk::VolumeContext&) { return false; }

void ScanMft(disk::VolumeContext&, disk::OperationState&, disk::EngineHost&, std::uint32_t,
             const std::string&) {}

}  // namespace ambrelic::ntfs
