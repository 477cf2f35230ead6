#include "ntfs/wipe.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <optional>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/sector_device.h"
#include "disk/vacant_overwrite.h"
#include "disk/wipe_report.h"
#include "ntfs/attributes.h"
#include "ntfs/data_runs.h"

namespace ambrelic::ntfs {
namespace {

constexpr RecordNumber kFirstUserRecord = 16;
constexpr std::size_t kScrubbedUsaOffset = 0x30;

const char* const kReplacingRecords = "Replacing file records.";

std::string BitmapUnreadableText(const std::string& root) {
  return "The cluster bitmap of " + root + " drive could not be read.\n\nNothing has been overwritten.";
}

// Why nothing will be written, for a survey that is not usable.
void TellRefusal(const disk::VolumeContext& ctx, disk::EngineHost& host, const NtfsClusterSurvey& survey) {
  if (survey.damage != NtfsDamage::None) {
    host.ShowMessage(disk::DamagedVolumeText(ctx.SearchedRoot, NtfsDamageReason(survey.damage)));
  } else {
    host.ShowMessage(BitmapUnreadableText(ctx.SearchedRoot));
  }
}

// Where the parts of a scrubbed record lie. Its update sequence has one
// entry per 512-byte block (NTFS protects records in such blocks whatever
// the sector size: 3 entries for 1 KiB, 9 for 4 KiB), the end marker
// follows it at the next multiple of 8, and the bytes in use end 8 bytes
// later: 0x38 and 0x40 for a 1 KiB record, 0x48 and 0x50 for a 4 KiB one.
struct ScrubbedLayout {
  std::uint16_t usaCount = 0;
  std::size_t firstAttribute = 0;
  std::size_t headerEnd = 0;
};

ScrubbedLayout LayoutFor(std::uint32_t recordSize) {
  ScrubbedLayout l;
  const std::size_t blocks = recordSize % kUpdateSequenceBlock == 0 ? recordSize / kUpdateSequenceBlock : 1;
  l.usaCount = static_cast<std::uint16_t>(blocks + 1);
  l.firstAttribute = (kScrubbedUsaOffset + 2 * l.usaCount + 7) & ~std::size_t{7};
  l.headerEnd = l.firstAttribute + 8;
  return l;
}


std::uint32_t ClustersPerRecord(const disk::VolumeContext& ctx) {
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0 || ctx.mftRecordSize == 0) return 0;
  return std::max<std::uint32_t>(1, (ctx.mftRecordSize + cs - 1) / cs);
}

// Writes count clusters from lcn; false when any of them lies outside the
// volume or the device refused the write.
bool WriteClustersChecked(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, const std::uint8_t* buffer) {
  const std::uint64_t clusters = VolumeClusters(ctx);
  if (lcn > clusters || clusters - lcn < count) return false;
  const std::uint64_t spc = ctx.sectorsPerCluster;
  return disk::WriteVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(count * spc), buffer);
}

bool ReadClustersChecked(const disk::VolumeContext& ctx, Lcn lcn, std::uint32_t count, std::uint8_t* buffer) {
  const std::uint64_t clusters = VolumeClusters(ctx);
  if (lcn > clusters || clusters - lcn < count) return false;
  const std::uint64_t spc = ctx.sectorsPerCluster;
  return disk::ReadVolumeSectors(ctx, lcn * spc, static_cast<std::uint32_t>(count * spc), buffer);
}

}  // namespace

std::string ReplaceRecordsQuestion(const std::string& root) {
  return "Vacant clusters on " + root + " drive have been replaced.\n\nDo you want replace file records, too?";
}

std::string NtfsWipeFailureText(const std::string& root, const disk::WipeResult& result) {
  return disk::WipeFailureText(root, result.clustersFailed, result.entriesFailed, "deleted file record",
                               "deleted file records");
}

std::string NtfsWipeDisputedText(const std::string& root, const disk::WipeResult& result) {
  return disk::DisputedText(root, result.clustersDisputed, result.entriesDisputed, "deleted file record",
                            "deleted file records");
}

std::optional<NtfsClusterSurvey> CheckNtfsVolumeForWipe(const disk::VolumeContext& ctx, disk::EngineHost& host,
                                                        disk::WipeResult& told) {
  return disk::UsableOrRefused(SurveyNtfsClusters(ctx), told,
                               [&](const NtfsClusterSurvey& survey) { TellRefusal(ctx, host, survey); });
}

std::uint32_t ScrubDeletedRecords(const disk::VolumeContext& ctx, platform::RandomSource& random,
                                  RecordNumber firstRecord, std::span<std::uint8_t> buffer, std::size_t length,
                                  ScrubPass pass, const disk::ClusterSet* keep) {
  const std::uint32_t size = ctx.mftRecordSize;
  const ScrubbedLayout layout = LayoutFor(size);
  if (size < layout.headerEnd) return 0;
  length = std::min(length, buffer.size());
  std::uint32_t qualified = 0;
  std::uint64_t number = firstRecord;
  std::vector<std::uint8_t> probe(size);
  for (std::size_t at = 0; disk::Fits(at, size, length); at += size, ++number) {
    auto record = buffer.subspan(at, size);
    const disk::Bytes view(record.data(), record.size());
    if (number < kFirstUserRecord || !HasFileSignature(view) || RecordInUse(view)) continue;
    if (keep && keep->Test(number)) continue;
    // A torn record is left as it is, as the survey leaves it. What the
    // first pass writes is whole too, so the second finds it so.
    std::copy(record.begin(), record.end(), probe.begin());
    if (ApplyFixups(probe) != Fixups::Whole) continue;
    ++qualified;
    if (pass == ScrubPass::Random) {
      // An empty record: no attributes, no links, an update sequence of
      // zeros; the allocated size (0x1C) and the bytes at 0x28 stay as they
      // were.
      disk::put16(record, 0x04, kScrubbedUsaOffset);
      disk::put16(record, 0x06, layout.usaCount);
      disk::put64(record, 0x08, 0);
      disk::put16(record, 0x10, 0);
      disk::put16(record, 0x12, 0);
      disk::put16(record, 0x14, static_cast<std::uint16_t>(layout.firstAttribute));
      disk::put16(record, 0x16, 0);
      disk::put32(record, 0x18, static_cast<std::uint32_t>(layout.headerEnd));
      disk::put64(record, 0x20, 0);
      std::memset(record.data() + kScrubbedUsaOffset, 0, layout.firstAttribute - kScrubbedUsaOffset);
      disk::put32(record, layout.firstAttribute, kAttrEnd);
      disk::put32(record, layout.firstAttribute + 4, 0);
      random.FillRandom(record.data() + layout.headerEnd, size - layout.headerEnd);
      // Sequence number 0 at the end of each block, the random words it
      // displaces kept in the array, as NTFS writes a record.
      const std::size_t stride = size / (layout.usaCount - 1u);
      for (std::size_t i = 1; i < layout.usaCount; ++i) {
        disk::put16(record, kScrubbedUsaOffset + 2 * i, disk::le16(view, i * stride - 2));
        disk::put16(record, i * stride - 2, 0);
      }
    } else {
      std::memset(record.data() + kScrubbedUsaOffset, 0, 2 * layout.usaCount);
      std::memset(record.data() + layout.headerEnd, 0, size - layout.headerEnd);
    }
  }
  return qualified;
}

GuardedWriteResult GuardedMftWrite(const disk::VolumeContext& ctx, Vcn vcn, std::uint32_t count,
                                   std::span<const std::uint8_t> oldImage, std::span<const std::uint8_t> newImage,
                                   std::size_t length) {
  GuardedWriteResult result;
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (cs == 0 || ctx.mftSelfRecord.empty()) return result;
  length = std::min({length, oldImage.size(), newImage.size()});
  ExtentWalk walk(ctx, ctx.mftSelfRecord, kAttrData);
  if (!walk || walk.extent().resident()) return result;
  std::vector<std::uint8_t> disk(static_cast<std::size_t>(count) * cs);
  std::size_t at = 0;
  while (count > 0 && at < length) {
    if (!walk.Reach(vcn)) break;
    const ClusterRun* run = walk.runs().Find(vcn);
    if (!run) break;
    const Lcn lcn = run->lcn + (vcn - run->vcn);
    const std::uint64_t inRun = run->length - (vcn - run->vcn);
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(inRun, count));
    const std::size_t pieceBytes = std::min<std::size_t>(static_cast<std::size_t>(n) * cs, length - at);
    const auto oldPiece = oldImage.subspan(at, pieceBytes);
    const auto newPiece = newImage.subspan(at, pieceBytes);
    if (!run->sparse && !std::equal(oldPiece.begin(), oldPiece.end(), newPiece.begin())) {
      // Compared with the disk right before the write: a record another
      // program changed since the read is left as it now is.
      const bool read = ReadClustersChecked(ctx, lcn, n, disk.data());
      if (read && std::equal(oldPiece.begin(), oldPiece.end(), disk.begin())) {
        std::copy(newPiece.begin(), newPiece.end(), disk.begin());
        if (WriteClustersChecked(ctx, lcn, n, disk.data())) ++result.piecesWritten;
        else ++result.piecesFailed;
      } else {
        ++result.piecesSkipped;
      }
    }
    vcn += n;
    count -= n;
    at += pieceBytes;
  }
  return result;
}

void ReplaceFileRecords(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                        platform::RandomSource& random, disk::WipeResult& result, const disk::ClusterSet* keep) {
  const std::uint32_t cs = ctx.bytesPerCluster;
  const std::uint32_t k = ClustersPerRecord(ctx);
  if (k == 0 || ctx.mftSelfRecord.empty()) return;
  const std::size_t chunkBytes = static_cast<std::size_t>(k) * cs;
  std::vector<std::uint8_t> base(ctx.mftSelfRecord);
  auto data = FindAttribute(ctx, base, kAttrData);
  if (!data) return;
  std::uint64_t remaining = AttributeDataSize(*data);
  const std::uint64_t recordCount = remaining / ctx.mftRecordSize;
  const std::uint64_t recordsPerChunk = chunkBytes / ctx.mftRecordSize;
  std::vector<std::uint8_t> oldImage(chunkBytes);
  std::vector<std::uint8_t> newImage(chunkBytes);

  std::unique_ptr<disk::ProgressSink> progress = host.OpenProgress();
  op.ActiveProgress = progress.get();
  if (progress) {
    progress->BeginCount("File No:", recordCount == 0 ? 0 : recordCount - 1);
    progress->ShowFileLabel();
    progress->SetFileName(kReplacingRecords);
  }
  Vcn vcn = 0;
  std::uint64_t firstRecord = 0;
  while (remaining > 0 && firstRecord <= 0xFFFFFFFFu) {
    const std::size_t len = static_cast<std::size_t>(std::min<std::uint64_t>(chunkBytes, remaining));
    ReadAttributeClusters(ctx, ctx.mftSelfRecord, kAttrData, vcn, k, oldImage, 0);
    std::copy_n(oldImage.begin(), len, newImage.begin());
    const auto number = static_cast<RecordNumber>(firstRecord);
    const std::uint32_t qualified =
        ScrubDeletedRecords(ctx, random, number, newImage, len, ScrubPass::Random, keep);
    if (qualified > 0) {
      const GuardedWriteResult first = GuardedMftWrite(ctx, vcn, k, oldImage, newImage, len);
      oldImage = newImage;
      ScrubDeletedRecords(ctx, random, number, newImage, len, ScrubPass::Zero, keep);
      // The second write compares with what the first one wrote; when that
      // was skipped, the disk does not hold it and nothing is written.
      const GuardedWriteResult second = GuardedMftWrite(ctx, vcn, k, oldImage, newImage, len);
      // A piece the guarded write left (the disk changed under it) keeps
      // its records' old bytes just as a failed write does, and is told so.
      if (first.piecesSkipped + second.piecesSkipped > 0) result.piecesSkipped += 1;
      if (first.piecesFailed + second.piecesFailed + first.piecesSkipped + second.piecesSkipped > 0) {
        result.entriesFailed += qualified;
      } else {
        result.entriesWiped += qualified;
      }
      if (progress && !progress->Advance(firstRecord)) {
        result.phase2Cancelled = remaining > len;
        break;
      }
    }
    vcn += k;
    firstRecord += recordsPerChunk;
    remaining -= len;
  }
  op.ActiveProgress = nullptr;
}

disk::WipeResult RunNtfsWipe(disk::VolumeContext& ctx, disk::OperationState& op, disk::EngineHost& host,
                             platform::RandomSource& random, bool seedWithTime, NtfsClusterSurvey survey) {
  disk::WipeResult result;
  const std::uint32_t cs = ctx.bytesPerCluster;
  if (ctx.fsKind != disk::FsKind::Ntfs || cs == 0 || ctx.mftRecordSize == 0 || survey.vacant.size() == 0) {
    result.refused = true;
    return result;
  }
  result.clustersDisputed = survey.disputedClusters;
  // The bitmap is read afresh before anything is written: the survey may
  // be as old as the user's answers.
  if (!RecheckVolumeBitmap(ctx, survey)) {
    result.allocationUnreadable = true;
    host.ShowMessage(BitmapUnreadableText(ctx.SearchedRoot));
    return result;
  }
  {
    // Clusters past the device are never vacant: the pass ends where it does.
    const std::uint64_t lastCluster = std::min<std::uint64_t>(ctx.lastCluster, survey.vacant.size() - 1);
    const disk::VacantPass pass = disk::WipeVacantClusters(
        host, random, seedWithTime, cs, 0, lastCluster, ctx.lastCluster,
        // A bitmap that cannot be read any more spares everything still to
        // come.
        [&](std::uint64_t c) {
          if (!RecheckVolumeBitmap(ctx, survey)) survey.vacant.ClearRange(c, lastCluster - c + 1);
        },
        [&](std::uint64_t c) { return survey.vacant.Test(c); },
        // The run's bits are read again: a bitmap that cannot be read spares
        // the run.
        [&](std::uint64_t c, std::uint32_t n) {
          if (!RecheckVolumeBitmapRun(ctx, survey, c, n)) survey.vacant.ClearRange(c, n);
        },
        [&](std::uint64_t first, std::uint32_t count, const std::uint8_t* bytes) {
          return WriteClustersChecked(ctx, first, count, bytes);
        });
    result.clustersFailed += pass.failed;
    result.clustersWiped += pass.wiped;
    result.cancelled = pass.cancelled;
  }
  disk::FlushPhase(ctx, result.clustersWiped, result.clustersFailed);
  // The question says the vacant clusters have been replaced: it is asked
  // only when they have.
  if (!result.cancelled && result.clustersFailed == 0 && host.Ask(disk::QuestionId::ReplaceFileInformation, ReplaceRecordsQuestion(ctx.SearchedRoot))) {
    result.phase2Ran = true;
    result.entriesDisputed = survey.disputedRecords + survey.tornRecords;
    ReplaceFileRecords(ctx, op, host, random, result, &survey.recordsInUse);
    disk::FlushPhase(ctx, result.entriesWiped, result.entriesFailed);
  }
  disk::TellWipeEnd(host, result, NtfsWipeFailureText(ctx.SearchedRoot, result),
                    NtfsWipeDisputedText(ctx.SearchedRoot, result));
  return result;
}

}  // namespace ambrelic::ntfs
