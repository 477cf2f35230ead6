// The condition of a FAT row and the times its entry keeps.
#pragma once

#include <cstdint>

#include "disk/byte_reader.h"
#include "disk/row_facts.h"
#include "disk/volume_context.h"
#include "fat/allocation_table.h"

namespace ambrelic::fat {

// The clusters a file of `size` bytes takes as the restore takes them when
// no cluster has been reused since: the first cluster and the ones after it
// in ascending order, wrapping once from the last cluster to cluster 2,
// ceil(size / bytesPerCluster) of them; each checked against fatCopy. The
// restore passes over a cluster in use and takes the next free one, which
// then holds something else than the file: a cluster in use is a lost part
// of the file. A folder counts its first cluster; an empty file none.
disk::RowCondition FatRowCondition(const disk::VolumeContext& ctx, Cluster first, std::uint32_t size,
                                   bool isFolder);

// The times of a 32-byte entry: last write (also the Modified time), last
// access (a date only), creation (with its hundredths); a date word of 0
// means the time was never set. FAT keeps no change time.
void FillEntryTimes(disk::Bytes entry, disk::RowFacts& facts);
// The last-write time alone (None when its date word is 0).
disk::VolumeTime EntryWriteTime(disk::Bytes entry);

}  // namespace ambrelic::fat
