// The one reader of allocation-table entries, for the FAT engines and for
// exFAT's table alike, so that the search, the restore, the condition and
// the wipe of every volume follow chains the same way.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "disk/volume_context.h"

namespace ambrelic::disk {

// The value entry `cluster` of a table holds, read as every driver reads
// it: a FAT12 entry unpacked from the three bytes it shares with its
// neighbour, a FAT32 entry through its low 28 bits (the top four are
// reserved; drivers keep them as they find them and never read them), an
// exFAT entry through all 32. None when the entry lies beyond the table.
std::optional<std::uint32_t> FatEntryValue(FsKind kind, std::span<const std::uint8_t> table, std::uint64_t cluster);

}  // namespace ambrelic::disk
