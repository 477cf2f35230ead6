#include "fat/directory_walk.h"

namespace ambrelic::fat {

void SearchFat(disk::VolumeContext&, disk::OperationState&, disk::EngineHost&) {}
void ScanClusters(disk::VolumeContext&, disk::OperationState&, disk::EngineHost&) {}

}  // namespace ambrelic::fat
