#include "ntfs/attributes.h"

#include <algorithm>
#include <cwctype>
#include <vector>

#include "ntfs/data_runs.h"
#include "platform/text.h"

namespace ambrelic::ntfs {
namespace {

// A resident header is 24 bytes: an unnamed attribute with an empty value
// (the $DATA of an empty file, as ntfs-3g writes it) is no longer than that.
constexpr std::size_t kMinAttributeLength = 24;
constexpr std::size_t kNonResidentHeader = 0x40;
constexpr std::size_t kMinListEntry = 32;

// Case-insensitive comparison of two UTF-16LE names of the same length;
// towupper per unit, as the wide comparison of the platform does.
bool SameNameIgnoringCase(disk::Bytes a, const std::u16string& b) {
  if (a.size() != b.size() * 2) return false;
  for (std::size_t i = 0; i < b.size(); ++i) {
    const wint_t x = disk::le16(a, 2 * i);
    const wint_t y = b[i];
    if (x != y && std::towupper(x) != std::towupper(y)) return false;
  }
  return true;
}

// Step 1 of the walk: the attribute in this record only.
std::optional<Attribute> FindInRecord(disk::Bytes record, std::uint32_t type, const std::u16string* name,
                                      Vcn startVcn) {
  std::size_t offset = disk::le16(record, kRecFirstAttribute);
  // Each attribute is at least 32 bytes long, so the walk ends within
  // record size / 32 steps whatever the lengths say.
  for (std::size_t steps = 0; steps <= record.size() / kMinAttributeLength; ++steps) {
    const std::uint32_t t = disk::le32(record, offset);
    if (!disk::Fits(offset, 8, record.size()) || t == kAttrEnd) return std::nullopt;
    auto attribute = AttributeAt(record, offset);
    if (!attribute) return std::nullopt;
    if (t == type && AttributeMatchesName(*attribute, name) &&
        (attribute->resident() || attribute->lowestVcn() == startVcn)) {
      return attribute;
    }
    offset += attribute->bytes.size();
  }
  return std::nullopt;
}

}  // namespace

disk::Bytes Attribute::name() const {
  const std::size_t length = static_cast<std::size_t>(disk::le8(bytes, 0x09)) * 2;
  const std::size_t offset = disk::le16(bytes, 0x0A);
  if (length == 0 || !disk::Fits(offset, length, bytes.size())) return {};
  return bytes.subspan(offset, length);
}

disk::Bytes Attribute::value() const {
  if (!resident()) return {};
  const std::size_t length = disk::le32(bytes, 0x10);
  const std::size_t offset = disk::le16(bytes, 0x14);
  if (!disk::Fits(offset, length, bytes.size())) return {};
  return bytes.subspan(offset, length);
}

disk::Bytes Attribute::runList() const {
  if (resident()) return {};
  const std::size_t offset = disk::le16(bytes, 0x20);
  if (offset > bytes.size()) return {};
  return bytes.subspan(offset);
}

std::optional<Attribute> AttributeAt(disk::Bytes record, std::size_t offset) {
  if (!disk::Fits(offset, 16, record.size())) return std::nullopt;
  const std::size_t length = disk::le32(record, offset + 4);
  if (length < kMinAttributeLength || !disk::Fits(offset, length, record.size())) return std::nullopt;
  Attribute a{record.subspan(offset, length)};
  const std::size_t nameLength = static_cast<std::size_t>(disk::le8(a.bytes, 0x09)) * 2;
  if (nameLength != 0 && !disk::Fits(disk::le16(a.bytes, 0x0A), nameLength, length)) return std::nullopt;
  if (a.resident()) {
    if (!disk::Fits(disk::le16(a.bytes, 0x14), disk::le32(a.bytes, 0x10), length)) return std::nullopt;
  } else {
    if (length < kNonResidentHeader) return std::nullopt;
    const std::size_t runs = disk::le16(a.bytes, 0x20);
    if (runs < kNonResidentHeader || runs >= length) return std::nullopt;
    if (a.highestVcn() < a.lowestVcn() && a.highestVcn() + 1 != a.lowestVcn()) return std::nullopt;
  }
  return a;
}

bool AttributeMatchesName(const Attribute& attribute, const std::u16string* name) {
  if (attribute.type() == kAttrFileName) {
    auto info = ParseFileName(attribute);
    if (!info || info->nameSpace == kNamespaceDos) return false;
  }
  const disk::Bytes own = attribute.name();
  if (!name) return disk::le8(attribute.bytes, 0x09) == 0;
  return SameNameIgnoringCase(own, *name);
}

std::optional<Attribute> FindAttribute(const disk::VolumeContext& ctx, std::span<std::uint8_t> record,
                                       std::uint32_t type, const std::u16string* name, Vcn startVcn,
                                       bool noList) {
  const disk::Bytes bytes(record.data(), record.size());
  if (auto found = FindInRecord(bytes, type, name, startVcn)) return found;
  if (noList || type == kAttrAttributeList) return std::nullopt;
  auto list = FindInRecord(bytes, kAttrAttributeList, nullptr, 0);
  if (!list) return std::nullopt;
  const std::vector<std::uint8_t> value = ReadAttributeValue(ctx, *list);
  const disk::Bytes entries(value.data(), value.size());
  std::size_t offset = 0;
  // Entries are at least 32 bytes: at most size / 32 of them.
  for (std::size_t steps = 0; steps <= value.size() / kMinListEntry; ++steps) {
    if (!disk::Fits(offset, kMinListEntry, entries.size())) break;
    const std::size_t length = disk::le16(entries, offset + 0x04);
    if (length < kMinListEntry || !disk::Fits(offset, length, entries.size())) break;
    if (disk::le32(entries, offset) == type && disk::le64(entries, offset + 0x08) == startVcn) {
      const auto holder = static_cast<RecordNumber>(disk::le64(entries, offset + 0x10));
      if (ReadMftRecord(ctx, holder, record)) {
        if (auto found = FindInRecord(bytes, type, name, startVcn)) return found;
      }
    }
    offset += length;
  }
  return std::nullopt;
}

std::uint32_t AttributeCapacity(const disk::VolumeContext& ctx, const Attribute& attribute) {
  // A resident value lies inside its attribute, inside the record.
  if (attribute.resident()) return static_cast<std::uint32_t>(attribute.value().size());
  std::uint64_t cap = std::min<std::uint64_t>(attribute.allocatedSize() & 0xFFFFFFFFu, VolumeByteSize(ctx));
  if (attribute.type() == kAttrAttributeList) cap = std::min(cap, kMaxAttributeListBytes);
  return static_cast<std::uint32_t>(cap);
}

std::uint32_t AttributeDataSize(const Attribute& attribute) {
  if (attribute.resident()) return static_cast<std::uint32_t>(attribute.value().size());
  return static_cast<std::uint32_t>(attribute.realSize());
}

bool IsBitSet(disk::Bytes bitmap, std::uint64_t index) {
  const std::uint64_t byte = index / 8;
  if (byte >= bitmap.size()) return true;
  return (bitmap[byte] >> (index % 8)) & 1;
}

std::optional<FileNameInfo> ParseFileName(const Attribute& attribute) {
  const disk::Bytes value = attribute.value();
  if (value.size() < 0x42) return std::nullopt;
  FileNameInfo info;
  info.parentReference = disk::le64(value, 0x00);
  info.parent = static_cast<RecordNumber>(info.parentReference);
  info.nameSpace = disk::le8(value, 0x41);
  const std::size_t length = static_cast<std::size_t>(disk::le8(value, 0x40)) * 2;
  if (!disk::Fits(0x42, length, value.size())) return std::nullopt;
  info.name = value.subspan(0x42, length);
  return info;
}

std::optional<RecordName> FindRecordName(const disk::VolumeContext& ctx, disk::Bytes record) {
  std::vector<std::uint8_t> copy(record.begin(), record.end());
  auto attribute = FindAttribute(ctx, copy, kAttrFileName);
  if (!attribute) return std::nullopt;
  auto info = ParseFileName(*attribute);
  if (!info) return std::nullopt;
  RecordName result;
  // The whole name goes through the converter, which replaces what it cannot
  // represent (an unpaired surrogate) and keeps the rest.
  result.name = platform::Utf16ToLocale(info->name);
  result.info = *info;
  result.info.name = {};  // pointed into the copy
  return result;
}

}  // namespace ambrelic::ntfs
