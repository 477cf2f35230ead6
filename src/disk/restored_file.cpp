#include "disk/restored_file.h"

#include <unistd.h>

#include <utility>

#include "disk/sector_device.h"
#include "platform/files.h"

namespace ambrelic::disk {
namespace {

constexpr const char* kWriteFailure = "File writing failure.";
constexpr const char* kPathTooLong =
    "Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path length.";

}  // namespace

RestoredFile::RestoredFile(const VolumeContext& ctx, EngineHost& host, const std::string& path)
    : ctx_(ctx), host_(host), path_(path) {
  const platform::NewFile file = platform::CreateNewFile(path);
  if (file.fd < 0) {
    host_.ShowFileMessage(path, kWriteFailure);
    return;
  }
  fd_ = file.fd;
  path_ = file.path;
  // Reads that lose sectors (zeros in the file) move this count.
  unreadableBefore_ = UnreadableEvents(ctx_);
}

RestoredFile::~RestoredFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool RestoredFile::LostSectors() const { return UnreadableEvents(ctx_) != unreadableBefore_; }

bool RestoredFile::Fail() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  host_.ShowFileMessage(path_, kWriteFailure);
  return false;
}

bool RestoredFile::Finish(bool ok, const VolumeTime& modified) {
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!ok || !closed) {
    host_.ShowFileMessage(path_, kWriteFailure);
    return false;
  }
  // Written whole, with zeros where sectors could not be read: the command
  // names such a file when it ends.
  if (LostSectors()) host_.UnreadableIn(path_);
  host_.Restored(path_, modified, false);
  return true;
}

EntryRestore RestoreEntry(EngineHost& host, const std::string& parentPath, const std::string& name, bool isFolder,
                          const VolumeTime& modified, const std::function<bool(const std::string&)>& writeFile) {
  EntryRestore result;
  const std::string fitted = platform::FitName(platform::SafePathComponent(name));
  const std::string full = parentPath + "/" + fitted;
  if (full.size() > platform::kMaxPathBytes) {
    host.ShowMessage(kPathTooLong);
    return result;
  }
  if (isFolder) {
    result.folderPath = platform::MakeFreeFolder(parentPath, fitted);
    result.complete = !result.folderPath.empty();
    if (result.complete) host.Restored(result.folderPath, modified, true);
    return result;
  }
  // The walk enters only the folders it made; this holds unless something
  // took the folder away meanwhile.
  if (!platform::IsFolder(parentPath)) return result;
  result.complete = writeFile(full);
  return result;
}

std::string TallyEntry(OperationState& op, EntryRestore done) {
  if (!done.complete) ++op.IncompleteCount;
  return std::move(done.folderPath);
}

}  // namespace ambrelic::disk
