// The application without a toolkit: the main dialog's state (drive table
// and selection, the name filter and the two options as the controls hold
// them, the selected volume, the operation state and the results list) and
// its commands. The engines report to it through disk::EngineHost; it talks
// to the user through a Host.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "carve/scanner.h"
#include "disk/operation_state.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"
#include "platform/drives.h"
#include "ui/host.h"
#include "ui/progress_dialog.h"
#include "ui/results_list.h"

namespace ambrelic::ui {

// What a command ended with, for front ends that need an exit status.
enum class CommandOutcome : std::uint8_t {
  Ran,      // the command did its work (also when nothing was found or the user said No)
  Stopped,  // a check or a failure stopped it (the user has been told, or it was silent)
};

class Windows9xPlatform;

// What the deep scan looks for.
struct CarveOptions {
  std::vector<std::string> types;  // "jpg", "docx"...; empty: every type it knows
  bool includeListed = false;      // also the clusters a listed deleted file restores from
};

// A type the deep scan knows: a format's own type ("jpg") or an extension
// one of them gives ("jpeg"). The front ends check what they are given with it.
bool KnownCarveType(const std::string& type);

class MainDialog : public disk::EngineHost, public ProgressOwner {
 public:
  MainDialog(Host& host, std::vector<platform::Drive> drives);
  ~MainDialog() override;

  // Runs the Windows 9x path: the drive table's links bind to the
  // platform's partitions and BIOS disks. Call before Initialise.
  void UseWindows9x(Windows9xPlatform* platform) { windows9x_ = platform; }
  // True once a fatal preparation error ended the dialog (and the program).
  bool Ending() const { return ending_; }

  // Dialog initialisation: columns, preselected drive, OnDriveChanged once.
  void Initialise();

  // The controls, as the user sets them.
  void SelectDrive(int position);             // -1: nothing selected
  int SelectedDrive() const { return driveSelection_; }
  // The edit box upper-cases what is typed.
  void SetNameText(const std::string& text);
  const std::string& NameText() const { return nameText_; }
  void SetIncludeUsedClusters(bool on) { includeUsedCheck_ = on; }
  void SetIncludeZeroSize(bool on) { includeZeroCheck_ = on; }

  // Commands.
  void OnSearch();
  void OnScanAllClusters();
  void OnColumnClick(int column) { list_.OnColumnClick(column); }
  // Overwrites what deleted files left on the selected drive
  // (delete_command.cpp).
  void OnDeleteCompletely();
  // Clusters, entries or records the last delete-completely command could
  // not overwrite.
  std::uint64_t LastWipeFailures() const { return wipeFailures_; }
  // True when the last delete-completely command did everything the user
  // agreed to: both confirmations answered Yes, the volume not refused,
  // nothing cancelled, failed or left because the volume's records
  // disagree on it.
  bool LastWipeComplete() const { return wipeComplete_; }
  // The deep scan: files found by their content in the vacant clusters of
  // the selected volume, or in its sectors when it holds no file system we
  // know (carve_command.cpp).
  void OnCarve();
  void SetCarveOptions(CarveOptions options) { carveOptions_ = std::move(options); }
  // Photos the last deep scan put back together past a gap.
  std::uint64_t LastCarveFragmented() const { return carveFragmented_; }
  // Checks the bytes each listed file row would restore against its format
  // where its type is one the deep scan knows, and marks clusters that two
  // deleted rows claim; the rows' conditions say what it found.
  void CheckRowContents();
  // The restore command and its steps (restore_command.cpp).
  void OnRestore();
  int EnsureFolder(const std::string& path);
  void RestoreFolder(const std::string& target, std::uint64_t number, std::uint64_t size);
  // How the restore tells whether a target lies on the searched volume;
  // tests replace it (the default needs a mounted block device).
  void SetSameVolumeTest(std::function<bool(const platform::Drive&, const std::string&)> test) {
    sameVolumeTest_ = std::move(test);
  }
  // How the restore asks for the free bytes where the target would be
  // made (platform::FreeBytesAt); tests give a file system of a known size.
  void SetFreeSpaceQuery(std::function<std::optional<std::uint64_t>(const std::string&)> query) {
    freeSpaceQuery_ = std::move(query);
  }

  // The bytes of file row `row` written into fd as one stream, read as the
  // restore reads them (row_bytes.cpp), at most `limit` bytes (0: all).
  // No file is made; what the engines say goes to `host`.
  struct RowBytes {
    bool read = false;        // a file row of the searched volume was read
    bool whole = false;       // every byte of it was delivered
    bool limited = false;     // it stopped at the limit
    bool unreadable = false;  // sectors it needed could not be read (zeros)
    std::uint64_t bytes = 0;  // bytes delivered
  };
  RowBytes ReadRowBytes(int row, int fd, std::uint64_t limit, disk::EngineHost& host);
  // Volume preparation (volume_preparation.cpp).
  int PrepareVolume();
  bool CheckDiskInDrive(const std::string& root);
  void OnDriveChanged();

  // Enabling of the FAT-only controls, as OnDriveChanged leaves them.
  bool IncludeUsedEnabled() const { return includeUsedEnabled_; }
  bool ScanAllEnabled() const { return scanAllEnabled_; }

  // disk::EngineHost
  std::unique_ptr<disk::ProgressSink> OpenProgress() override;
  void AddRow(disk::FoundRow row) override;
  void FolderEntered(std::uint64_t folder, std::uint64_t parent) override;
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text, bool stopIcon = false) override;
  bool Ask(disk::QuestionId id, const std::string& text, bool stopIcon = false) override;
  void UnreadableIn(const std::string& path) override;
  void ShowFileMessage(const std::string& path, const std::string& text) override;
  void Restored(const std::string& path, const disk::VolumeTime& modified, bool isFolder) override;

  // Restored files and recreated folders get the modification time of
  // their entry or record (the command line's --keep-times); off by default,
  // as designed.
  void SetKeepTimes(bool on) { keepTimes_ = on; }

  // Through the open progress window when there is one, else straight
  // through the host's pump (Ctrl-C on the command line); sticky until the
  // next restore command.
  bool CancelRequested() override;

  // ProgressOwner
  bool IsEnabled() const override { return enabled_; }
  void SetEnabled(bool enabled) override { enabled_ = enabled; }
  void ProgressClosed(ProgressDialog* dialog) override;
  bool StopRequested() const override;

  // Sectors the last command could not read, and whether the device
  // stopped answering during it.
  std::uint64_t LastUnreadableSectors() const { return lastUnreadable_; }
  bool LastDeviceLost() const { return lastDeviceLost_; }
  // How patient the reads of the next commands are with a failing device
  // (tests make it give up sooner).
  void SetMediaLimits(const disk::MediaErrors::Limits& limits) { mediaLimits_ = limits; }

  CommandOutcome LastOutcome() const { return lastOutcome_; }
  // False when the last restore told the user of a file or folder it could
  // not write whole ("File writing failure.", a path too long, the count at
  // its end), or was cancelled: a partial restore is not reported as success.
  bool LastRestoreComplete() const { return lastRestoreComplete_; }
  // What the last restore wrote: files (folders made are not counted), their
  // bytes, the target chosen, and the files not restored completely.
  struct RestoreSummary {
    std::uint64_t files = 0;
    std::uint64_t bytes = 0;
    std::uint64_t incomplete = 0;
    std::string target;
  };
  const RestoreSummary& LastRestoreSummary() const { return restoreSummary_; }
  const std::vector<platform::Drive>& Drives() const { return drives_; }
  // Drives of an image the user opened, after those listed at start.
  void AddDrives(const std::vector<platform::Drive>& more) { drives_.insert(drives_.end(), more.begin(), more.end()); }
  ResultsList& List() { return list_; }
  const ResultsList& List() const { return list_; }
  disk::VolumeContext& Volume() { return ctx_; }
  disk::OperationState& Operation() { return op_; }
  Host& GetHost() { return host_; }

 private:
  // Copies the controls into the members (the dialog's data exchange).
  void UpdateData();
  Answer Message(const std::string& text, Buttons buttons, Icon icon, int defaultButton = 0,
                 disk::QuestionId question = disk::QuestionId::Unnamed);
  const platform::Drive* SelectedSlot() const;
  int PrepareVolume9x(const platform::Drive& slot);
  bool ReopenDiskForWriting9x();
  void ReleaseFatWork();
  // Keeps what the restore needs to read the volume the rows came from,
  // even after another drive was picked (restore_command.cpp).
  void RememberSearchedVolume();
  bool ReopenSearchedVolume();
  // The selected volume opened again for writing; false (the user told)
  // when it is mounted or cannot be written.
  bool ReopenVolumeForWriting();
  // A fresh record of unreadable sectors for the command that starts.
  void BeginMediaRecord();
  // What the command tells at its end about the sectors it could not read
  // (nothing when it read them all); which text depends on the command.
  // True when it told anything.
  enum class MediaReport : std::uint8_t { List, Restore, Wipe };
  bool ReportMedia(MediaReport kind);

  Host& host_;
  std::vector<platform::Drive> drives_;
  int driveSelection_ = -1;
  std::string nameText_;
  bool includeUsedCheck_ = false;
  bool includeZeroCheck_ = false;
  bool includeUsedEnabled_ = true;
  bool scanAllEnabled_ = true;
  bool enabled_ = true;

  disk::VolumeContext ctx_;
  disk::OperationState op_;
  ResultsList list_;
  ProgressDialog* openProgress_ = nullptr;
  CommandOutcome lastOutcome_ = CommandOutcome::Ran;
  long messagesShown_ = 0;
  bool lastRestoreComplete_ = true;
  bool cancelTaken_ = false;
  std::optional<platform::Drive> searchedDrive_;
  std::string searchedRoot_;
  disk::FsKind searchedKind_ = disk::FsKind::None;
  std::function<bool(const platform::Drive&, const std::string&)> sameVolumeTest_;
  std::function<std::optional<std::uint64_t>(const std::string&)> freeSpaceQuery_;
  Windows9xPlatform* windows9x_ = nullptr;
  bool ending_ = false;
  std::uint64_t wipeFailures_ = 0;
  bool wipeComplete_ = false;
  disk::MediaErrors::Limits mediaLimits_;
  std::uint64_t lastUnreadable_ = 0;
  bool lastDeviceLost_ = false;
  // Files of the running restore that miss what unreadable sectors held.
  std::vector<std::string> unreadableFiles_;
  bool keepTimes_ = false;
  // What the running restore made, with the times to give it at its end.
  struct MadeByRestore {
    std::string path;
    disk::VolumeTime modified;
    bool isFolder = false;
  };
  std::vector<MadeByRestore> restored_;
  RestoreSummary restoreSummary_;
  // The selected rows a restore writes itself: a row inside the tree of a
  // selected folder row is written by that folder's restore, once. Inside
  // is read from the rows' parent facts, never from their texts.
  std::vector<int> RowsToRestore() const;
  // The bytes the selected rows would write (a folder row: the listed rows
  // below it), for the free-space check before a restore.
  std::uint64_t BytesToRestore() const;

  // The deep scan's state: its options, the units its rows were read from
  // (by the row's number, its first unit), whether preparation may give a
  // volume without a file system (read in sectors), and the rows a search
  // run inside it lists (their clusters are left alone).
  struct CarvedData {
    std::vector<carve::UnitRun> runs;
    std::uint64_t length = 0;
  };
  CarveOptions carveOptions_;
  carve::ScanArea carveArea_;
  std::unordered_map<std::uint64_t, CarvedData> carved_;
  std::uint64_t carveFragmented_ = 0;
  bool rawFallback_ = false;
  bool captureRows_ = false;
  std::vector<disk::FoundRow> captured_;
  int PrepareRawVolume();
  bool RestoreCarvedRow(int row, const std::string& target);
  void ApplyRestoredTimes();
};

}  // namespace ambrelic::ui
