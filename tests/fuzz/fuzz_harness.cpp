#include "fuzz_harness.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <filesystem>

#include "disk/byte_reader.h"

extern "C" std::size_t LLVMFuzzerMutate(std::uint8_t* data, std::size_t size, std::size_t maxSize);

namespace ambrelic::fuzz {
namespace {

namespace fs = std::filesystem;

const char* const kScanVacantQuestion = "Do you want to scan vacant clusters?";
constexpr int kMaxRestoredRows = 4;

}  // namespace

std::optional<Input> Decode(const std::uint8_t* data, std::size_t size, bool searchOnly) {
  if (size < kHeaderBytes) return std::nullopt;
  Input in;
  in.controls = searchOnly ? data[0] & kSearchControls : data[0];
  const disk::Bytes all(data, size);
  const std::uint64_t claimed = static_cast<std::uint64_t>(disk::le16(all, 1)) * 4096;
  in.letter = static_cast<char>('A' + (data[3] & 0x1F) % 26);
  in.geometry = static_cast<std::uint8_t>(data[3] >> 6);
  std::uint64_t reach = 0;
  for (std::size_t at = kHeaderBytes; at + kChunkHeaderBytes <= size;) {
    const std::uint64_t offset = disk::le32(all, at);
    const std::size_t length = std::min<std::size_t>(disk::le16(all, at + 4), size - at - kChunkHeaderBytes);
    at += kChunkHeaderBytes;
    // Past the largest device a chunk has nothing to land on.
    if (offset < kMaxDeviceBytes && length > 0) {
      const std::size_t kept = static_cast<std::size_t>(std::min<std::uint64_t>(length, kMaxDeviceBytes - offset));
      in.chunks.push_back({offset, std::span<const std::uint8_t>(data + at, kept)});
      reach = std::max(reach, offset + kept);
    }
    at += length;
  }
  in.deviceBytes = std::min(claimed != 0 ? claimed : reach, kMaxDeviceBytes);
  if (in.deviceBytes < 512) return std::nullopt;
  // What lies past the device is cut off, as a device cuts a longer image.
  std::erase_if(in.chunks, [&](const Chunk& c) { return c.offset >= in.deviceBytes; });
  for (auto& c : in.chunks) c.bytes = c.bytes.first(std::min<std::uint64_t>(c.bytes.size(), in.deviceBytes - c.offset));
  return in;
}

std::size_t MutateChunks(std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed) {
  std::minstd_rand random(seed);
  // Where each whole chunk's bytes lie in the input.
  struct Place {
    std::size_t header, length;
  };
  std::vector<Place> places;
  std::size_t at = kHeaderBytes;
  while (at + kChunkHeaderBytes <= size) {
    const std::size_t length = disk::le16(disk::Bytes(data, size), at + 4);
    if (at + kChunkHeaderBytes + length > size) break;
    places.push_back({at, length});
    at += kChunkHeaderBytes + length;
  }
  if (places.empty() || random() % 16 == 0) return LLVMFuzzerMutate(data, size, maxSize);
  // A chunk chosen by its length: a mutation lands on any byte alike.
  std::size_t pick = random() % (at - kHeaderBytes);
  std::size_t i = 0;
  while (pick >= kChunkHeaderBytes + places[i].length) pick -= kChunkHeaderBytes + places[i++].length;
  const Place p = places[i];
  const std::size_t room = std::min<std::size_t>(0xFFFF, p.length + (maxSize > size ? maxSize - size : 0));
  if (room == 0) return LLVMFuzzerMutate(data, size, maxSize);
  std::vector<std::uint8_t> chunk(room);
  std::copy_n(data + p.header + kChunkHeaderBytes, p.length, chunk.begin());
  const std::size_t length = p.length == 0 ? 0 : LLVMFuzzerMutate(chunk.data(), p.length, room);
  // What follows the chunk moves up or down with its new length.
  const std::size_t tail = p.header + kChunkHeaderBytes + p.length;
  std::memmove(data + p.header + kChunkHeaderBytes + length, data + tail, size - tail);
  std::copy_n(chunk.begin(), length, data + p.header + kChunkHeaderBytes);
  data[p.header + 4] = static_cast<std::uint8_t>(length);
  data[p.header + 5] = static_cast<std::uint8_t>(length >> 8);
  return size - p.length + length;
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
  if (::ftruncate(fd, static_cast<off_t>(input.deviceBytes)) != 0) std::abort();
  for (const Chunk& c : input.chunks) {
    std::size_t done = 0;
    while (done < c.bytes.size()) {
      const ssize_t n = ::pwrite(fd, c.bytes.data() + done, c.bytes.size() - done, static_cast<off_t>(c.offset + done));
      if (n <= 0) std::abort();
      done += static_cast<std::size_t>(n);
    }
  }
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
