#include "ntfs/volume_label.h"

#include <vector>

#include "ntfs/attributes.h"
#include "ntfs/mft_record.h"
#include "platform/text.h"

namespace ambrelic::ntfs {

namespace {

// Windows keeps labels to 32 characters; a longer value is damage and is
// cut there.
constexpr std::size_t kMaxLabelBytes = 64;

}  // namespace

std::string ReadVolumeLabel(const disk::VolumeContext& ctx) {
  if (ctx.mftRecordSize == 0 || ctx.mftRecordSize > kMaxRecordSize) return std::string();
  std::vector<std::uint8_t> record(ctx.mftRecordSize);
  if (!ReadMftRecord(ctx, kVolumeRecord, record)) return std::string();
  const std::optional<Attribute> name = FindAttribute(ctx, record, kAttrVolumeName, nullptr, 0, true);
  if (!name || !name->resident()) return std::string();
  disk::Bytes value = name->value();
  if (value.size() > kMaxLabelBytes) value = value.first(kMaxLabelBytes);
  value = value.first(value.size() & ~std::size_t{1});
  return platform::Utf16ToLocale(value);
}

}  // namespace ambrelic::ntfs
