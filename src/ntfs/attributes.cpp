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
  disk::ByteReader in(record);
  std::size_t offset = in.u16(kRecFirstAttribute);
  // Each attribute is at least 24 bytes long, so the walk ends within
  // record size / 24 steps whatever the lengths say.
  for (std::size_t steps = 0; steps <= record.size() / kMinAttributeLength; ++steps) {
    in.slice(offset, 8);
    const std::uint32_t t = in.u32(offset);
    if (!in.ok() || t == kAttrEnd) return std::nullopt;
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
  disk::ByteReader in(record);
  in.slice(offset, 16);
  const std::size_t length = in.u32(offset + 4);
  const disk::Bytes bytes = in.slice(offset, length);
  if (!in.ok() || length < kMinAttributeLength) return std::nullopt;
  // Every part the accessors reach must lie inside the attribute: a part
  // that runs past it makes the cursor refuse the attribute as damaged.
  disk::ByteReader a(bytes);
  const std::size_t nameLength = static_cast<std::size_t>(a.u8(0x09)) * 2;
  if (nameLength != 0) a.slice(a.u16(0x0A), nameLength);
  const Attribute attribute{bytes};
  if (a.u8(0x08) == 0) {
    a.slice(a.u16(0x14), a.u32(0x10));
  } else {
    const std::size_t runs = a.u16(0x20);
    a.slice(0, kNonResidentHeader);
    if (runs < kNonResidentHeader || runs >= length) return std::nullopt;
    const Vcn lowest = a.u64(0x10);
    const Vcn highest = a.u64(0x18);
    if (highest < lowest && highest + 1 != lowest) return std::nullopt;
  }
  if (!a.ok()) return std::nullopt;
  return attribute;
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
  disk::ByteReader entries(value);
  std::size_t offset = 0;
  // Entries are at least 32 bytes: at most size / 32 of them. An entry cut
  // short ends the list.
  for (std::size_t steps = 0; steps <= value.size() / kMinListEntry; ++steps) {
    entries.slice(offset, kMinListEntry);
    const std::size_t length = entries.u16(offset + 0x04);
    entries.slice(offset, length);
    if (!entries.ok() || length < kMinListEntry) break;
    if (entries.u32(offset) == type && entries.u64(offset + 0x08) == startVcn) {
      const auto holder = static_cast<RecordNumber>(entries.u64(offset + 0x10));
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
  disk::ByteReader in(attribute.value());
  FileNameInfo info;
  info.parentReference = in.u64();
  info.parent = static_cast<RecordNumber>(info.parentReference);
  in.seek(0x40);
  const std::size_t length = static_cast<std::size_t>(in.u8()) * 2;
  info.nameSpace = in.u8();
  info.name = in.take(length);
  if (!in.ok()) return std::nullopt;
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
