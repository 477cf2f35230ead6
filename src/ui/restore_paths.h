// Helpers of the restore command that need no dialog: the number parse of
// the row texts and the Linux meaning of "the target lies on the searched
// drive".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/drives.h"

namespace ambrelic::ui {

// Decimal row text to a 64-bit number: the last 10 characters are the low
// part, anything before them the high part; each part is read as the
// numeric columns are (leading spaces skipped, digits up to the first
// non-digit, beyond 32 bits counts as 4294967295, empty is 0). Result =
// high * 10000000000 + low.
std::uint64_t ParseUInt64Text(std::string_view text);

// True when a restore to target would write onto the volume of drive: the
// file system holding target (its nearest existing folder) reads the
// drive's bytes, whether it is mounted from the block device, a partition
// of it, a loop device over the image, or by FUSE from the image file.
bool TargetOnSearchedVolume(const platform::Drive& drive, const std::string& target);

}  // namespace ambrelic::ui
