// The condition of an NTFS row (its data's clusters checked against the
// volume's $Bitmap) and the times its record keeps.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "disk/row_facts.h"
#include "disk/volume_context.h"
#include "ntfs/mft_record.h"

namespace ambrelic::ntfs {

// The volume's cluster bitmap: the unnamed $DATA of record 6, read through
// its runs. Empty when any part of it cannot be read: a bitmap of zeros
// would call every cluster free. Bits past what the attribute holds read
// as in use.
std::optional<std::vector<std::uint8_t>> LoadClusterBitmap(const disk::VolumeContext& ctx);

// A deleted record's condition. A file counts the clusters of every
// non-sparse run of its unnamed $DATA (all extents); resident data, and a
// file without data, read none. A folder counts its record, which the walk
// lists only while the MFT bitmap marks it free. Without a bitmap the
// condition of a file is unknown.
disk::RowCondition NtfsRowCondition(const disk::VolumeContext& ctx, const std::vector<std::uint8_t>* clusterBitmap,
                                    std::span<const std::uint8_t> record, bool isFolder);

// A Windows file time as a volume time: 100 ns ticks from 1601 (UTC). 0,
// and values from 2^63 on, are no time.
disk::VolumeTime FileTimeToVolumeTime(std::uint64_t fileTime);

// The four $STANDARD_INFORMATION times (Modified is its record-change
// time) and the four of the record's name ($FILE_NAME).
void FillRecordTimes(const disk::VolumeContext& ctx, std::span<const std::uint8_t> record, disk::RowFacts& facts);

}  // namespace ambrelic::ntfs
