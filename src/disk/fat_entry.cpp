#include "disk/fat_entry.h"

#include "disk/byte_reader.h"

namespace ambrelic::disk {

std::optional<std::uint32_t> FatEntryValue(FsKind kind, std::span<const std::uint8_t> table, std::uint64_t cluster) {
  switch (kind) {
    case FsKind::Fat12: {
      // Two entries share three bytes; the even one ends in the low half of
      // the middle byte, so the last entry of a table may end in its final
      // byte pair.
      const std::uint64_t off = cluster / 2 * 3;
      if (cluster % 2 == 0) {
        if (!Fits(off, 2, table.size())) return std::nullopt;
        return table[off] | ((table[off + 1] & 0x0Fu) << 8);
      }
      if (!Fits(off, 3, table.size())) return std::nullopt;
      return (table[off + 1] >> 4) | (static_cast<std::uint32_t>(table[off + 2]) << 4);
    }
    case FsKind::Fat16:
      if (!Fits(cluster * 2, 2, table.size())) return std::nullopt;
      return le16(table, cluster * 2);
    case FsKind::Fat32:
      if (!Fits(cluster * 4, 4, table.size())) return std::nullopt;
      return le32(table, cluster * 4) & 0x0FFFFFFFu;
    case FsKind::Exfat:
      if (!Fits(cluster * 4, 4, table.size())) return std::nullopt;
      return le32(table, cluster * 4);
    default:
      return std::nullopt;
  }
}

}  // namespace ambrelic::disk
