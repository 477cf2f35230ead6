// OLE2 compound files (DOC, XLS, PPT, MSG): the header gives the sector
// size and where the FAT's sectors are (109 in the header, the rest in the
// DIFAT chain); the file ends after the last sector the FAT says is in use.
// The kind comes from the names of the streams in the first directory sector.

#include <vector>

#include "carve/formats/families.h"
#include "carve/formats/reader.h"

namespace ambrelic::carve::formats {
namespace {

constexpr std::uint32_t kFree = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE;

std::string Name(std::span<const std::uint8_t> entry) {
  const std::uint16_t bytes = Le16At(entry, 64);
  std::string name;
  for (std::size_t i = 0; i + 1 < bytes && i + 1 < 64; i += 2) {
    const std::uint16_t c = Le16At(entry, i);
    if (c == 0) break;
    name += c < 0x80 ? static_cast<char>(c) : '?';
  }
  return name;
}

std::string KindFromDirectory(Reader& r, std::uint64_t at, std::uint32_t sectorSize) {
  for (std::uint32_t e = 0; e < sectorSize / 128; ++e) {
    std::uint8_t entry[128];
    if (!r.Get(at + 128ull * e, entry)) break;
    const std::string name = Name(entry);
    if (name == "WordDocument") return "doc";
    if (name == "Workbook" || name == "Book") return "xls";
    if (name == "PowerPoint Document") return "ppt";
    if (name.rfind("__substg1.0_", 0) == 0 || name == "__properties_version1.0") return "msg";
  }
  return "ole";
}

}  // namespace

bool Ole2Matches(std::span<const std::uint8_t> head) {
  return StartsWith(head, "\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1");
}

Parsed Ole2Parse(ByteSource& source, const Limits& limits) {
  Reader r(source, limits);
  std::uint8_t h[512];
  if (!r.Get(0, h) || !Ole2Matches(h)) return {};
  const std::uint16_t major = Le16At(h, 0x1A), shift = Le16At(h, 0x1E);
  if (Le16At(h, 0x1C) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12))) return {};
  const std::uint32_t sectorSize = 1u << shift;
  const std::uint32_t perSector = sectorSize / 4;
  const std::uint32_t fatSectors = Le32At(h, 0x2C), firstDirectory = Le32At(h, 0x30);
  std::uint32_t difat = Le32At(h, 0x44);
  const std::uint32_t difatSectors = Le32At(h, 0x48);
  // No more FAT sectors than a file of the largest length could need.
  const std::uint64_t maxSectors = limits.maxLength / sectorSize;
  if (fatSectors == 0 || fatSectors > maxSectors / perSector + 1) return {};
  auto offsetOf = [&](std::uint32_t sector) { return (std::uint64_t{sector} + 1) * sectorSize; };

  std::vector<std::uint32_t> fat;
  for (std::uint32_t i = 0; i < 109 && fat.size() < fatSectors; ++i) fat.push_back(Le32At(h, 0x4C + 4 * i));
  for (std::uint32_t k = 0; k < difatSectors && fat.size() < fatSectors && difat < kEndOfChain; ++k) {
    for (std::uint32_t i = 0; i + 1 < perSector && fat.size() < fatSectors; ++i) {
      const auto v = r.Le32(offsetOf(difat) + 4ull * i);
      if (!v) return Damaged(std::min(r.End(), offsetOf(difat)), "ole");
      fat.push_back(*v);
    }
    difat = r.Le32(offsetOf(difat) + 4ull * (perSector - 1)).value_or(kFree);
  }
  if (fat.size() < fatSectors) return Damaged(sectorSize, "ole");

  std::uint64_t last = 0;  // one past the highest sector in use
  bool cut = false;
  for (std::uint32_t f = 0; f < fat.size(); ++f) {
    if (fat[f] >= maxSectors) return Damaged(sectorSize, "ole");
    for (std::uint32_t i = 0; i < perSector; ++i) {
      const auto v = r.Le32(offsetOf(fat[f]) + 4ull * i);
      if (!v) {
        cut = true;
        break;
      }
      if (*v != kFree) last = std::uint64_t{f} * perSector + i + 1;
    }
    if (cut) break;
  }
  const std::uint64_t length = (last + 1) * sectorSize;
  const std::string ext = firstDirectory < maxSectors ? KindFromDirectory(r, offsetOf(firstDirectory), sectorSize)
                                                      : "ole";
  if (cut || !r.Has(0, length)) return Damaged(std::min(r.End(), length), ext);
  return Complete(length, ext);
}

}  // namespace ambrelic::carve::formats
