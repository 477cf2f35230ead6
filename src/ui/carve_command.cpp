// The deep scan command: the selected volume's vacant clusters (free in
// every allocation source, as the wipe decides them; without the clusters a
// file the search lists restores from) read in one pass, and each file
// found by its content listed as a row; a device without a file system we
// know is read in sectors. Its rows restore the exact units they were
// carved from.
#include <unistd.h>

#include <ctime>

#include "carve/format.h"
#include "disk/sector_device.h"
#include "disk/text_format.h"
#include "exfat/allocation.h"
#include "exfat/directory_walk.h"
#include "exfat/wipe.h"
#include "fat/clusters_in_use.h"
#include "fat/directory_walk.h"
#include "ntfs/clusters_in_use.h"
#include "ntfs/condition.h"
#include "ntfs/mft_scan.h"
#include "platform/files.h"
#include "ui/main_dialog.h"
#include "ui/row_content.h"

namespace ambrelic::ui {

bool KnownCarveType(const std::string& type) {
  if (carve::FormatForExtension(type) != nullptr) return true;
  for (const carve::Format& f : carve::Formats()) {
    if (f.type == type) return true;
  }
  return false;
}
namespace {

const char* const kNoFilesFound = "No files were found.";
// Carved rows are listed under this folder of the drive's root, one
// sub-folder per type.
const char* const kContentFolder = "<content>";
const char* const kWriteFailure = "File writing failure.";

// The clusters that every allocation source of the volume calls free; an
// empty set when the volume's structures cannot say (then it is read in
// sectors).
disk::ClusterSet VacantClusters(const disk::VolumeContext& ctx, const carve::ScanArea& area) {
  disk::ClusterSet vacant(area.EndUnit());
  if (disk::IsFat(ctx.fsKind)) {
    const fat::FatClusterSurvey survey = fat::SurveyFatClusters(ctx);
    if (survey.Usable()) return survey.vacant;
    // A volume the wipe would refuse is still read: what its active table
    // calls free.
    for (std::uint64_t c = area.firstUnit; c < area.EndUnit(); ++c) {
      if (fat::FatGetEntry(ctx, ctx.fatCopy, static_cast<fat::Cluster>(c)) == fat::kFreeCluster) vacant.Set(c);
    }
  } else if (ctx.fsKind == disk::FsKind::Exfat) {
    const std::vector<std::uint8_t>& bitmap = exfat::VolumeOf(ctx).bitmap;
    const exfat::LiveAllocation live = exfat::MapLiveAllocation(ctx, bitmap);
    for (std::uint64_t c = area.firstUnit; c < area.EndUnit(); ++c) {
      const auto cluster = static_cast<exfat::Cluster>(c);
      if (!exfat::BitmapInUse(bitmap, cluster) && !live.Reached(cluster)) vacant.Set(c);
    }
  } else if (ctx.fsKind == disk::FsKind::Ntfs) {
    const ntfs::NtfsClusterSurvey survey = ntfs::SurveyNtfsClusters(ctx);
    if (survey.Usable()) {
      disk::ClusterSet out(area.EndUnit());
      for (std::uint64_t c = 0; c < area.EndUnit(); ++c) {
        if (survey.vacant.Test(c)) out.Set(c);
      }
      return out;
    }
    const std::optional<std::vector<std::uint8_t>> bitmap = ntfs::LoadClusterBitmap(ctx);
    if (!bitmap) return disk::ClusterSet();
    for (std::uint64_t c = 0; c < area.EndUnit(); ++c) {
      if (disk::CountClearBits(*bitmap, c, 1) == 1) vacant.Set(c);
    }
  }
  return vacant;
}

disk::VolumeTime ContentTime(const carve::Parsed& parsed) {
  if (!parsed.time) return {};
  // The content's own time, as written: a local time without a zone.
  const std::time_t t = static_cast<std::time_t>(*parsed.time);
  std::tm fields{};
  if (!gmtime_r(&t, &fields)) return {};
  return disk::VolumeTime::Local(static_cast<unsigned>(fields.tm_year + 1900), static_cast<unsigned>(fields.tm_mon + 1),
                                 static_cast<unsigned>(fields.tm_mday), static_cast<unsigned>(fields.tm_hour),
                                 static_cast<unsigned>(fields.tm_min), static_cast<unsigned>(fields.tm_sec));
}

}  // namespace

void MainDialog::OnCarve() {
  host_.SetWaitCursor(true);
  UpdateData();
  op_.OperationMode = disk::OpSearch;
  BeginMediaRecord();
  carveFragmented_ = 0;
  rawFallback_ = true;
  // The 9x path prepares FAT and NTFS volumes as the search does; a
  // device without a file system is read in sectors on the NT path only.
  const int prepared = PrepareVolume();
  rawFallback_ = false;
  if (prepared != 1 && prepared != 2) {
    lastOutcome_ = CommandOutcome::Stopped;
    ReportMedia(MediaReport::List);
    ReleaseFatWork();
    host_.SetWaitCursor(false);
    return;
  }
  lastOutcome_ = CommandOutcome::Ran;
  RememberSearchedVolume();
  carved_.clear();

  carve::ScanArea area;
  disk::ClusterSet open;
  std::string label = "Cluster:";
  if (prepared == 1) {
    area = ClusterArea(ctx_);
    open = VacantClusters(ctx_, area);
    list_.AddNumberColumn("Cluster");
  }
  if (prepared == 1 && area.unitCount != 0 && open.size() != 0) {
    if (!carveOptions_.includeListed) {
      // The search's own rows, kept aside: clusters that a listed file
      // restores whole from are its, not the deep scan's. A row whose bytes
      // do not check out leaves its clusters to the scan.
      captureRows_ = true;
      captured_.clear();
      const std::string filter = op_.nameFilter;
      op_.nameFilter.clear();
      op_.SearchCancelled = 0;
      if (ctx_.fsKind == disk::FsKind::Ntfs) ntfs::ScanMft(ctx_, op_, *this, 0, std::string());
      else if (ctx_.fsKind == disk::FsKind::Exfat) exfat::SearchExfat(ctx_, op_, *this);
      else fat::SearchFat(ctx_, op_, *this);
      op_.nameFilter = filter;
      captureRows_ = false;
      std::vector<ResultRow> rows(captured_.size());
      std::vector<ResultRow*> pointers;
      for (std::size_t i = 0; i < captured_.size(); ++i) {
        rows[i].texts = {captured_[i].name, captured_[i].folder, captured_[i].size, captured_[i].modified,
                         captured_[i].number};
        rows[i].isFolder = captured_[i].isFolder;
        rows[i].facts = captured_[i].facts;
        pointers.push_back(&rows[i]);
      }
      std::vector<disk::FoundRow>().swap(captured_);
      CheckRowConditions(ctx_, pointers, nullptr);
      for (const ResultRow& row : rows) {
        const disk::RowCondition& c = row.facts.condition;
        const bool good = c.content == disk::ContentCheck::Verified ||
                          (c.content == disk::ContentCheck::None && c.known &&
                           disk::Classify(c) == disk::Condition::Intact);
        if (!good) continue;
        if (const std::optional<RowData> data = RowDataOf(ctx_, row)) {
          for (const carve::UnitRun& r : data->runs) open.ClearRange(r.first, r.count);
        }
      }
    }
    area.open = &open;
  } else {
    // No file system we know, or one whose allocation cannot be read: the
    // whole device in sectors.
    if (prepared == 1) list_.AddNumberColumn("Sector");
    ctx_.fsKind = disk::FsKind::None;
    searchedKind_ = disk::FsKind::None;
    area = carve::ScanArea();
    area.bytesPerSector = ctx_.bytesPerSector;
    area.sectorsPerUnit = 1;
    area.unitCount = ctx_.volumeHandle ? ctx_.volumeHandle->Size() / ctx_.bytesPerSector : 0;
    label = "Sector:";
  }
  carveArea_ = area;
  carveArea_.open = nullptr;

  carve::ScanOptions options;
  options.types = carveOptions_.types;
  options.countLabel = label;
  std::unique_ptr<disk::ProgressSink> progress = OpenProgress();
  const std::string root = ctx_.SearchedRoot;
  const carve::ScanResult result =
      carve::ScanUnits(ctx_, area, options, progress.get(), [&](carve::CarvedFile file) {
        disk::FoundRow row;
        row.name = carve::CarvedName(file);
        row.folder = root + kContentFolder + "\\" + file.parsed.extension;
        row.size = std::to_string(file.parsed.length);
        row.number = std::to_string(file.firstUnit);
        row.facts.size = file.parsed.length;
        row.facts.number = file.firstUnit;
        row.facts.modified = ContentTime(file.parsed);
        row.facts.written = row.facts.modified;
        const disk::VolumeTime& t = row.facts.modified;
        if (t.present()) row.modified = disk::DateTimeText(t.month, t.day, t.year, t.hour, t.minute);
        std::uint64_t units = 0;
        for (const carve::UnitRun& r : file.runs) units += r.count;
        row.facts.condition.total = units;
        row.facts.condition.free = units;
        row.facts.condition.content = disk::ContentCheck::Verified;
        carved_[file.firstUnit] = CarvedData{std::move(file.runs), file.parsed.length};
        AddRow(std::move(row));
      });
  progress.reset();
  carveFragmented_ = result.fragmentedFiles;
  if (op_.FoundCount == 0) ShowMessage(kNoFilesFound);
  ReportMedia(MediaReport::List);
  ReleaseFatWork();
  host_.SetWaitCursor(false);
}

bool MainDialog::RestoreCarvedRow(int row, const std::string& target) {
  const auto found = carved_.find(list_.Facts(row).number);
  if (found == carved_.end()) return false;
  const CarvedData& data = found->second;
  const platform::NewFile file = platform::CreateNewFile(target);
  if (file.fd < 0) {
    ShowFileMessage(target, kWriteFailure);
    return false;
  }
  const std::uint64_t unreadableBefore = disk::UnreadableEvents(ctx_);
  carve::RunSource source(ctx_, carveArea_, data.runs, data.length);
  std::vector<std::uint8_t> buffer(1u << 20);
  bool whole = source.Size() == data.length;
  for (std::uint64_t at = 0; at < source.Size();) {
    if (CancelRequested() || disk::DeviceAbandoned(ctx_)) {
      whole = false;
      break;
    }
    const std::size_t n = source.Read(at, buffer);
    if (n == 0 || !platform::WriteAll(file.fd, buffer.data(), n)) {
      ::close(file.fd);
      ShowFileMessage(file.path, kWriteFailure);
      return false;
    }
    at += n;
  }
  if (::close(file.fd) != 0) {
    ShowFileMessage(file.path, kWriteFailure);
    return false;
  }
  if (disk::UnreadableEvents(ctx_) != unreadableBefore) UnreadableIn(file.path);
  Restored(file.path, list_.Facts(row).written, false);
  return whole;
}

void MainDialog::CheckRowContents() {
  // The list keeps its rows packed; the checks work on whole copies and
  // their mended facts are written back.
  std::vector<ResultRow> copies;
  copies.reserve(static_cast<std::size_t>(list_.RowCount()));
  for (int i = 0; i < list_.RowCount(); ++i) copies.push_back(list_.Row(i));
  if (copies.empty()) return;
  std::vector<ResultRow*> rows;
  rows.reserve(copies.size());
  for (ResultRow& row : copies) rows.push_back(&row);
  std::unique_ptr<disk::ProgressSink> progress = OpenProgress();
  CheckRowConditions(ctx_, rows, progress.get());
  for (int i = 0; i < list_.RowCount(); ++i) list_.SetFacts(i, copies[static_cast<std::size_t>(i)].facts);
}

}  // namespace ambrelic::ui
