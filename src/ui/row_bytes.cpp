// One file row's bytes written into a descriptor the caller holds (the
// window's preview, the command line's standard output), read exactly as
// the restore reads them: the same engines, through a file capture, so
// that no file is made anywhere.
#include "disk/sector_device.h"
#include "exfat/restore.h"
#include "fat/restore.h"
#include "ntfs/restore.h"
#include "platform/file_capture.h"
#include "ui/main_dialog.h"
#include "ui/restore_paths.h"

namespace ambrelic::ui {
namespace {

// The name the engine is given for the file it would make; never a path
// anything is made at.
const char* const kCapturePath = "\x01row-bytes";

// What the engine reports while it writes into the capture.
class CaptureHost final : public disk::EngineHost {
 public:
  explicit CaptureHost(disk::EngineHost& outer) : outer_(outer) {}
  std::unique_ptr<disk::ProgressSink> OpenProgress() override { return outer_.OpenProgress(); }
  void AddRow(disk::FoundRow) override {}
  void UnreadableIn(const std::string&) override { unreadable = true; }
  void ShowMessage(const std::string& text) override { outer_.ShowMessage(text); }
  bool AskYesNo(const std::string& text, bool stopIcon) override { return outer_.AskYesNo(text, stopIcon); }
  bool Ask(disk::QuestionId id, const std::string& text, bool stopIcon) override {
    return outer_.Ask(id, text, stopIcon);
  }
  // The capture's own write failure (the limit) is not the user's concern;
  // the engine's other messages are passed on.
  void ShowFileMessage(const std::string& path, const std::string& text) override {
    if (path != kCapturePath) outer_.ShowFileMessage(path, text);
  }
  bool CancelRequested() override { return outer_.CancelRequested(); }

  bool unreadable = false;

 private:
  disk::EngineHost& outer_;
};

}  // namespace

MainDialog::RowBytes MainDialog::ReadRowBytes(int row, int fd, std::uint64_t limit, disk::EngineHost& host) {
  RowBytes result;
  if (row < 0 || row >= list_.RowCount() || list_.IsFolder(row)) return result;
  if (searchedDrive_) {
    ctx_.SearchedRoot = searchedRoot_;
    ctx_.fsKind = searchedKind_;
  }
  if (!ReopenSearchedVolume()) return result;
  // The row's typed facts say where its data lies, never its texts.
  const disk::RowFacts facts = list_.Facts(row);
  const std::uint64_t number = facts.number;
  const std::uint64_t size = facts.size;
  const disk::VolumeTime written = facts.written;
  CaptureHost capturing(host);
  platform::FileCapture capture(kCapturePath, fd, limit);
  bool whole = false;
  if (ctx_.fsKind == disk::FsKind::Exfat) {
    whole = exfat::RestoreExfatFile(ctx_, capturing, kCapturePath, exfat::RowStream(facts, false), written);
  } else if (ctx_.fsKind == disk::FsKind::Ntfs) {
    whole = ntfs::RestoreNtfsFile(ctx_, capturing, static_cast<std::uint32_t>(number), kCapturePath);
  } else {
    whole = fat::RestoreFatFile(ctx_, capturing, kCapturePath, static_cast<std::uint32_t>(number),
                                static_cast<std::uint32_t>(size), written);
  }
  result.read = true;
  result.bytes = capture.Bytes();
  result.limited = capture.ReachedLimit();
  result.whole = whole && !capture.ReachedLimit();
  result.unreadable = capturing.unreadable;
  return result;
}

}  // namespace ambrelic::ui
