#include "ntfs/restore.h"

namespace ambrelic::ntfs {

// The folder restore writes nothing yet; the walk already calls here for
// every deleted record, so only this step remains to be filled.
void RestoreFolderEntry(disk::VolumeContext&, disk::OperationState&, disk::EngineHost&, RecordNumber,
                        std::span<const std::uint8_t>, RecordNumber, const std::string&, ParentCache&) {}

}  // namespace ambrelic::ntfs
