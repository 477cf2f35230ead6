#include "fuzz_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "disk/byte_reader.h"

namespace ambrelic::fuzz {
namespace {

namespace fs = std::filesystem;

const char* const kScanVacantQuestion = "Do you want to scan vacant clusters?";
constexpr int kMaxRestoredRows = 4;

}  // namespace

std::optional<Input> Decode(const std::uint8_t* data, std::size_t size, bool searchOnly) {
  if (size < kHeaderBytes + 512) return std::nullopt;
  Input in;
  in.controls = searchOnly ? data[0] & kSearchControls : data[0];
  const disk::Bytes header(data, kHeaderBytes);
  in.deviceBytes = static_cast<std::uint64_t>(disk::le16(header, 1)) * 4096;
  in.letter = static_cast<char>('A' + (data[3] & 0x1F) % 26);
  in.geometry = static_cast<std::uint8_t>(data[3] >> 6);
  in.image = std::span<const std::uint8_t>(data + kHeaderBytes, size - kHeaderBytes);
  in.deviceBytes = std::min(std::max<std::uint64_t>(in.deviceBytes, in.image.size()), kMaxDeviceBytes);
  if (in.image.size() > in.deviceBytes) in.image = in.image.first(in.deviceBytes);
  return in;
}

const std::string& ScratchFolder() {
  // Never destroyed: the exit handler that removes the folder still needs it.
  static const std::string* const folder = [] {
    std::string base = "/dev/shm";
    if (::access(base.c_str(), W_OK) != 0) {
      const char* tmp = std::getenv("TMPDIR");
      base = tmp ? tmp : "/tmp";
    }
    auto* path = new std::string(base + "/ambrelic-fuzz.XXXXXX");
    if (!::mkdtemp(path->data())) std::abort();
    std::atexit([] {
      std::error_code ec;
      fs::remove_all(ScratchFolder(), ec);
    });
    return path;
  }();
  return *folder;
}

std::string WriteSource(const Input& input) {
  const std::string path = ScratchFolder() + "/source.img";
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) std::abort();
  std::size_t done = 0;
  while (done < input.image.size()) {
    const ssize_t n = ::write(fd, input.image.data() + done, input.image.size() - done);
    if (n <= 0) std::abort();
    done += static_cast<std::size_t>(n);
  }
  if (::ftruncate(fd, static_cast<off_t>(input.deviceBytes)) != 0) std::abort();
  ::close(fd);
  return path;
}

ui::Answer FuzzHost::ShowMessage(const ui::MessageRequest& message) {
  switch (message.buttons) {
    case ui::Buttons::Ok:
      return ui::Answer::Ok;
    case ui::Buttons::YesNo:
      if (message.text == kScanVacantQuestion && !(input_.controls & kControlScanVacant)) return ui::Answer::No;
      return ui::Answer::Yes;
    case ui::Buttons::RetryCancel:
      return ui::Answer::Cancel;
  }
  return ui::Answer::Ok;
}

std::unique_ptr<ui::ProgressView> FuzzHost::CreateProgressView() { return std::make_unique<ui::NullProgressView>(); }

std::optional<std::string> FuzzHost::AskSaveAs(const std::string&, const std::string&, const std::string&) {
  std::optional<std::string> answer;
  answer.swap(saveAs);
  return answer;
}

void RunCommands(ui::MainDialog& dialog, FuzzHost& host, const Input& input) {
  dialog.SetSameVolumeTest([](const platform::Drive&, const std::string&) { return false; });
  const int drives = std::min<int>(static_cast<int>(dialog.Drives().size()), kMaxDrives);
  for (int i = 0; i < drives && !dialog.Ending(); ++i) {
    dialog.SelectDrive(i);
    dialog.OnDriveChanged();
    dialog.SetIncludeUsedClusters(input.controls & kControlIncludeUsed);
    dialog.SetIncludeZeroSize(input.controls & kControlIncludeZero);
    dialog.SetNameText("");
    dialog.OnSearch();

    const int rows = dialog.List().RowCount();
    if ((input.controls & kControlRestore) && rows > 0) {
      const int chosen = std::min(rows, kMaxRestoredRows);
      for (int r = 0; r < chosen; ++r) dialog.List().SetSelected(r, true);
      const std::string target = ScratchFolder() + "/restored";
      host.saveAs = target;
      dialog.OnRestore();
      std::error_code ec;
      fs::remove_all(target, ec);
    }
    if (input.controls & kControlScanAll) {
      dialog.SetNameText(std::string(1, input.letter));
      dialog.OnScanAllClusters();
    }
    if (input.controls & kControlWipe) dialog.OnDeleteCompletely();
  }
}

}  // namespace ambrelic::fuzz
