#include "ntfs/clusters_in_use.h"

#include <algorithm>

#include "disk/sector_device.h"
#include "ntfs/data_runs.h"

namespace ambrelic::ntfs {
namespace {

constexpr RecordNumber kBitmapRecord = 6;
constexpr RecordNumber kFirstUserRecord = 16;
// Records 0 to 11 are the file system's own files ($MFT to $Extend): in use
// on every volume.
constexpr RecordNumber kSystemRecords = 12;
// Records are read this many bytes at a time (at least one record and one
// cluster).
constexpr std::uint64_t kWindowBytes = 1u << 20;
// Clusters moved by one device call.
constexpr std::uint64_t kReadBytes = 4u << 20;

// Reads count clusters of the attribute from vcn through its runs.
bool ReadVcns(const disk::VolumeContext& ctx, const std::vector<ClusterRun>& runs, Vcn vcn, std::uint64_t count,
              std::uint8_t* out) {
  const std::uint64_t cs = ctx.bytesPerCluster;
  const std::uint64_t spc = ctx.sectorsPerCluster;
  const std::uint64_t perRead = std::max<std::uint64_t>(1, kReadBytes / cs);
  for (const ClusterRun& run : runs) {
    if (count == 0) break;
    if (vcn < run.vcn || vcn - run.vcn >= run.length) continue;
    if (run.sparse) return false;
    while (count > 0 && vcn - run.vcn < run.length) {
      const std::uint64_t n = std::min({count, run.length - (vcn - run.vcn), perRead});
      const Lcn lcn = run.lcn + (vcn - run.vcn);
      if (!disk::ReadVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(n * spc), out)) return false;
      out += n * cs;
      vcn += n;
      count -= n;
    }
  }
  return count == 0;
}

// True when every bit of [first, first + count) is set; bits past the end
// of the bitmap count as set.
bool AllSet(disk::Bytes bits, std::uint64_t first, std::uint64_t count) {
  for (std::uint64_t i = first; i < first + count;) {
    const std::uint64_t byte = i / 8;
    if (byte >= bits.size()) return true;
    if (i % 8 == 0 && first + count - i >= 8) {
      if (bits[byte] != 0xFF) return false;
      i += 8;
      continue;
    }
    if (((bits[byte] >> (i % 8)) & 1) == 0) return false;
    ++i;
  }
  return true;
}

// The bytes of the volume bitmap that hold a bit for each cluster of the
// volume: a bitmap that claims more is read no further.
std::uint64_t BitmapBytes(const disk::VolumeContext& ctx) {
  return std::min<std::uint64_t>(ctx.lastCluster, VolumeClusters(ctx)) / 8 + 1;
}

// Bytes past the initialized size read as zeros (free) whatever the disk
// holds: the bitmap is taken to end there, and what lies past its end
// counts as in use.
void KeepInitialized(const AttributeRuns& attribute, std::vector<std::uint8_t>& bits) {
  if (!attribute.resident && attribute.initializedSize < bits.size()) {
    bits.resize(static_cast<std::size_t>(attribute.initializedSize));
  }
}

class Surveyor {
 public:
  Surveyor(const disk::VolumeContext& ctx, NtfsClusterSurvey& out) : ctx_(ctx), out_(out) {}

  void Run() {
    cs_ = ctx_.bytesPerCluster;
    rs_ = ctx_.mftRecordSize;
    volumeClusters_ = VolumeClusters(ctx_);
    if (cs_ == 0 || rs_ == 0 || volumeClusters_ == 0 || ctx_.mftSelfRecord.size() < rs_) {
      out_.damage = NtfsDamage::MftIncomplete;
      return;
    }
    if (!LoadVolumeBitmap()) return;
    if (!LoadMft()) return;
    // Never overwritten whatever the bitmap says: the boot sector's cluster,
    // clusters past the device, and the cluster holding the device's last
    // sector (where the backup boot sector lies).
    const std::uint64_t clusters = std::min<std::uint64_t>(ctx_.lastCluster, volumeClusters_ - 1) + 1;
    out_.vacant = disk::ClusterSet(clusters);
    const disk::Bytes bits(bitmap_);
    if (!AllSet(bits, 0, 1)) {
      out_.damage = NtfsDamage::SystemFree;
      return;
    }
    // Free in the bitmap; clusters past its end count as in use.
    for (std::uint64_t byte = 0; byte < bits.size() && byte * 8 < clusters; ++byte) {
      if (bits[byte] == 0xFF) continue;
      for (std::uint64_t c = byte * 8; c < byte * 8 + 8 && c < clusters; ++c) {
        if (c != 0 && ((bits[byte] >> (c % 8)) & 1) == 0) out_.vacant.Set(c);
      }
    }
    const std::uint64_t bps = ctx_.bytesPerSector;
    const std::uint64_t deviceBytes = VolumeByteSize(ctx_);
    if (deviceBytes >= bps) out_.vacant.Clear((deviceBytes - bps) / cs_);
    liveSeen_ = disk::ClusterSet(clusters);
    out_.recordsInUse = disk::ClusterSet(recordCount_);
    WalkRecords();
  }

 private:
  bool Damaged(NtfsDamage damage) {
    out_.damage = damage;
    return false;
  }

  // The volume bitmap, whole: every cluster of it mapped by a run that is
  // on the disk. What the runs do not reach is not read as free.
  bool LoadVolumeBitmap() {
    std::vector<std::uint8_t> record(rs_);
    if (!ReadMftRecord(ctx_, kBitmapRecord, record)) return Damaged(NtfsDamage::BitmapIncomplete);
    std::optional<AttributeRuns> runs = CollectRuns(ctx_, record, kAttrData);
    if (!runs) return Damaged(NtfsDamage::BitmapIncomplete);
    out_.bitmap = std::move(*runs);
    if (!ReadWholeValue(ctx_, out_.bitmap, bitmap_, BitmapBytes(ctx_))) {
      // Runs that reach everything but a read that failed: the disk, not
      // the volume's records.
      if (Covers(out_.bitmap)) out_.allocationUnreadable = true;
      else out_.damage = NtfsDamage::BitmapIncomplete;
      return false;
    }
    KeepInitialized(out_.bitmap, bitmap_);
    return true;
  }

  // True when the runs map every cluster of the value to the disk.
  bool Covers(const AttributeRuns& a) const {
    if (a.resident) return true;
    const std::uint64_t need = (a.realSize + cs_ - 1) / cs_;
    std::uint64_t mapped = 0;
    for (const ClusterRun& r : a.runs) {
      if (r.sparse || r.vcn != mapped) break;
      mapped += r.length;
    }
    return mapped >= need;
  }

  bool LoadMft() {
    std::optional<AttributeRuns> data = CollectRuns(ctx_, ctx_.mftSelfRecord, kAttrData);
    if (!data || data->resident) return Damaged(NtfsDamage::MftIncomplete);
    mftRuns_ = std::move(data->runs);
    recordCount_ = std::min<std::uint64_t>(data->realSize / rs_, VolumeByteSize(ctx_) / rs_);
    std::optional<AttributeRuns> bitmap = CollectRuns(ctx_, ctx_.mftSelfRecord, kAttrBitmap);
    if (!bitmap || !ReadWholeValue(ctx_, *bitmap, mftBitmap_, recordCount_ / 8 + 1)) {
      return Damaged(NtfsDamage::MftIncomplete);
    }
    return true;
  }

  void WalkRecords() {
    const std::uint64_t unit = std::max<std::uint64_t>(cs_, rs_);
    const std::uint64_t windowBytes = unit * std::max<std::uint64_t>(1, kWindowBytes / unit);
    const std::uint64_t perWindow = windowBytes / rs_;
    std::vector<std::uint8_t> window(windowBytes);
    std::vector<std::uint8_t> record(rs_);
    for (std::uint64_t first = 0; first < recordCount_; first += perWindow) {
      const std::uint64_t count = std::min(perWindow, recordCount_ - first);
      const std::uint64_t clusters = (count * rs_ + cs_ - 1) / cs_;
      const bool read = ReadVcns(ctx_, mftRuns_, first * rs_ / cs_, clusters, window.data());
      for (std::uint64_t i = 0; i < count; ++i) {
        const std::uint64_t n = first + i;
        const bool bitmapInUse = IsBitSet(mftBitmap_, n);
        if (!read) {
          // Records the MFT cannot deliver: fine while none is in use.
          if (bitmapInUse) {
            out_.damage = NtfsDamage::MftIncomplete;
            return;
          }
          continue;
        }
        std::copy_n(window.begin() + static_cast<std::ptrdiff_t>(i * rs_), rs_, record.begin());
        if (!TakeRecord(n, bitmapInUse, record)) return;
      }
    }
  }

  // One record: what it claims, if it is in use by either account.
  bool TakeRecord(std::uint64_t n, bool bitmapInUse, std::span<std::uint8_t> record) {
    const disk::Bytes bytes(record.data(), record.size());
    const bool signature = HasFileSignature(bytes);
    const bool headerInUse = signature && RecordInUse(bytes);
    if (!bitmapInUse && !headerInUse) {
      // A deleted record that is torn is left as it is, like every other
      // record whose bytes contradict themselves, and told.
      if (signature && n >= kFirstUserRecord && ApplyFixups(record) != Fixups::Whole) {
        out_.recordsInUse.Set(n);
        ++out_.tornRecords;
      }
      return true;
    }
    out_.recordsInUse.Set(n);
    const bool live = bitmapInUse && headerInUse;
    if (n < kSystemRecords && !live) return Damaged(NtfsDamage::SystemRecordFree);
    // A deleted record the MFT bitmap keeps is left, and told when it
    // still holds anything (records reserved empty, as Windows keeps 16 to
    // 23, hold nothing to restore).
    if (bitmapInUse && !headerInUse && signature && n >= kFirstUserRecord &&
        disk::le32(bytes, disk::le16(bytes, kRecFirstAttribute)) != kAttrEnd) {
      ++out_.disputedRecords;
    }
    if (!signature) return true;
    // A torn record in use by one account is already kept (recordsInUse);
    // one in use by both makes the volume one the wipe cannot trust.
    if (ApplyFixups(record) != Fixups::Whole) return live ? Damaged(NtfsDamage::RecordUnreadable) : true;
    std::size_t offset = disk::le16(bytes, kRecFirstAttribute);
    // Every attribute is at least 24 bytes long: the walk ends within the
    // record whatever its lengths say.
    for (std::size_t steps = 0; steps <= record.size() / 24; ++steps) {
      if (!disk::Fits(offset, 4, bytes.size())) break;
      if (disk::le32(bytes, offset) == kAttrEnd) return true;
      const std::optional<Attribute> attribute = AttributeAt(bytes, offset);
      if (!attribute) break;
      if (!attribute->resident()) {
        // A record in use only by one account still has every run it
        // decodes before a bad one spared.
        std::vector<ClusterRun> runs;
        if (!DecodeRuns(*attribute, volumeClusters_, runs) && live) return Damaged(NtfsDamage::RecordUnreadable);
        if (!Claim(runs, live, n)) return false;
      }
      offset += attribute->bytes.size();
    }
    // No end marker where the attributes run out: a record in use whose
    // attributes cannot all be read.
    return live ? Damaged(NtfsDamage::RecordUnreadable) : true;
  }

  bool Claim(const std::vector<ClusterRun>& runs, bool live, std::uint64_t n) {
    const disk::Bytes bits(bitmap_);
    for (const ClusterRun& run : runs) {
      if (run.sparse) continue;
      if (live) {
        if (liveSeen_.AnyInRange(run.lcn, run.length)) return Damaged(NtfsDamage::SharedClusters);
        liveSeen_.SetRange(run.lcn, run.length);
        if (!AllSet(bits, run.lcn, run.length)) {
          return Damaged(n < kFirstUserRecord ? NtfsDamage::SystemFree : NtfsDamage::LiveInFree);
        }
      } else {
        out_.disputedClusters += out_.vacant.CountRange(run.lcn, run.length);
      }
      out_.vacant.ClearRange(run.lcn, run.length);
    }
    return true;
  }

  const disk::VolumeContext& ctx_;
  NtfsClusterSurvey& out_;
  std::uint32_t cs_ = 0;
  std::uint32_t rs_ = 0;
  std::uint64_t volumeClusters_ = 0;
  std::vector<std::uint8_t> bitmap_;
  std::vector<ClusterRun> mftRuns_;
  std::vector<std::uint8_t> mftBitmap_;
  std::uint64_t recordCount_ = 0;
  disk::ClusterSet liveSeen_;
};

}  // namespace

bool DecodeRuns(const RunList& list, std::uint64_t volumeClusters, std::vector<ClusterRun>& out) {
  for (const ClusterRun& run : list.runs) {
    // A sparse run may be longer than the volume (a sparse file larger
    // than the disk); a run on the disk may not. Signed steps from a
    // cluster inside the volume: anything that leaves [0, volumeClusters)
    // wrapped or ran off the end.
    if (run.length == 0) return false;
    if (!run.sparse && (run.lcn >= volumeClusters || volumeClusters - run.lcn < run.length)) return false;
    if (run.length > ~std::uint64_t{0} - run.vcn) return false;
    out.push_back(run);
  }
  if (list.fault != RunFault::None) return false;
  // The runs cover exactly the extent's VCNs (an empty extent may say
  // highest = lowest - 1, or nothing sensible at all).
  return list.runs.empty() || list.end - 1 == list.highest;
}

bool DecodeRuns(const Attribute& extent, std::uint64_t volumeClusters, std::vector<ClusterRun>& out) {
  return !extent.resident() && DecodeRuns(ReadRunList(extent), volumeClusters, out);
}

std::optional<AttributeRuns> CollectRuns(const disk::VolumeContext& ctx, disk::Bytes baseRecord, std::uint32_t type) {
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0) return std::nullopt;
  ExtentWalk walk(ctx, baseRecord, type);
  if (!walk) return std::nullopt;
  AttributeRuns out;
  out.realSize = walk.extent().realSize();
  out.initializedSize = walk.extent().initializedSize();
  if (walk.extent().resident()) {
    out.resident = true;
    const disk::Bytes v = walk.extent().value();
    out.value.assign(v.begin(), v.end());
    return out;
  }
  const std::uint64_t volumeClusters = VolumeClusters(ctx);
  const std::uint64_t allocated = walk.extent().allocatedSize();
  const std::uint64_t need = allocated / cs + (allocated % cs != 0);
  do {
    if (!DecodeRuns(walk.runs(), volumeClusters, out.runs)) return std::nullopt;
    if (walk.extent().highestVcn() + 1 >= need) return out;
  } while (walk.Next());
  return std::nullopt;
}

bool ReadWholeValue(const disk::VolumeContext& ctx, const AttributeRuns& attribute, std::vector<std::uint8_t>& out,
                    std::uint64_t maxBytes) {
  if (attribute.resident) {
    out.assign(attribute.value.begin(),
               attribute.value.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(attribute.value.size(), maxBytes)));
    return true;
  }
  const std::uint64_t cs = ctx.bytesPerCluster;
  const std::uint64_t size = std::min(attribute.realSize, maxBytes);
  if (cs == 0 || size > VolumeByteSize(ctx)) return false;
  const std::uint64_t clusters = (size + cs - 1) / cs;
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(clusters * cs));
  if (!ReadVcns(ctx, attribute.runs, 0, clusters, bytes.data())) return false;
  bytes.resize(static_cast<std::size_t>(size));
  out.swap(bytes);
  return true;
}

NtfsClusterSurvey SurveyNtfsClusters(const disk::VolumeContext& ctx) {
  NtfsClusterSurvey survey;
  if (ctx.fsKind != disk::FsKind::Ntfs) {
    survey.damage = NtfsDamage::MftIncomplete;
    return survey;
  }
  Surveyor(ctx, survey).Run();
  return survey;
}

bool RecheckVolumeBitmap(const disk::VolumeContext& ctx, NtfsClusterSurvey& survey) {
  std::vector<std::uint8_t> bits;
  if (!ReadWholeValue(ctx, survey.bitmap, bits, BitmapBytes(ctx))) return false;
  KeepInitialized(survey.bitmap, bits);
  const disk::Bytes view(bits);
  for (std::uint64_t c = 0; c < survey.vacant.size(); ++c) {
    if (survey.vacant.Test(c) && IsBitSet(view, c)) survey.vacant.Clear(c);
  }
  return true;
}

bool RecheckVolumeBitmapRun(const disk::VolumeContext& ctx, NtfsClusterSurvey& survey, std::uint64_t first,
                            std::uint64_t count) {
  const std::uint64_t cs = ctx.bytesPerCluster;
  if (count == 0) return true;
  if (cs == 0 || first + count > survey.vacant.size()) return false;
  // Only the bitmap's clusters that hold the run's bits are read.
  const std::uint64_t fromByte = first / 8;
  const std::uint64_t toByte = (first + count - 1) / 8;  // inclusive
  std::vector<std::uint8_t> bits;
  std::uint64_t base = 0;  // byte of the bitmap at bits[0]
  if (survey.bitmap.resident) {
    bits = survey.bitmap.value;
  } else {
    const Vcn vcn = fromByte / cs;
    const std::uint64_t clusters = toByte / cs - vcn + 1;
    bits.resize(static_cast<std::size_t>(clusters * cs));
    if (!ReadVcns(ctx, survey.bitmap.runs, vcn, clusters, bits.data())) return false;
    base = vcn * cs;
  }
  // Bytes past what the bitmap holds (its size, or what is initialized of
  // it) read as zeros whatever the disk holds: they mark nothing free.
  const std::uint64_t end = std::min(survey.bitmap.resident ? bits.size() : survey.bitmap.initializedSize,
                                     std::min(survey.bitmap.realSize, BitmapBytes(ctx)));
  for (std::uint64_t c = first; c < first + count; ++c) {
    const std::uint64_t byte = c / 8;
    const bool inUse = byte >= end || byte < base || byte - base >= bits.size() || ((bits[byte - base] >> (c % 8)) & 1);
    if (inUse) survey.vacant.Clear(c);
  }
  return true;
}

const char* NtfsDamageReason(NtfsDamage damage) {
  switch (damage) {
    case NtfsDamage::BitmapIncomplete: return "its cluster bitmap cannot be read whole";
    case NtfsDamage::SystemFree: return "its cluster bitmap calls clusters of the file system's own files free";
    case NtfsDamage::SystemRecordFree: return "its MFT calls records of the file system's own files free";
    case NtfsDamage::LiveInFree: return "a file in use lies in clusters its cluster bitmap calls free";
    case NtfsDamage::SharedClusters: return "two files in use share clusters";
    case NtfsDamage::RecordUnreadable: return "a file record in use cannot be read";
    case NtfsDamage::MftIncomplete: return "its MFT cannot be read whole";
    case NtfsDamage::None: break;
  }
  return "";
}

}  // namespace ambrelic::ntfs
