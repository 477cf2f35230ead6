// libFuzzer target: any bytes as the records (and data clusters) of a small
// NTFS volume, searched, and every record's data read through. Every run
// must end without a fault, in bounded time and memory.
#include <cstddef>
#include <cstdint>
#include <memory>

#include "disk/operation_state.h"
#include "ntfs/data_runs.h"
#include "ntfs/mft_scan.h"
#include "ntfs_builder.h"

namespace {

using namespace ambrelic;

class NullProgress : public disk::ProgressSink {
 public:
  void BeginCount(const std::string&, std::uint64_t) override {}
  void ShowFileLabel() override {}
  void SetFileName(const std::string&) override {}
  bool Advance(std::uint64_t) override { return true; }
  bool TakeCancelRequest() override { return false; }
};

class NullHost : public disk::EngineHost {
 public:
  std::unique_ptr<disk::ProgressSink> OpenProgress() override { return std::make_unique<NullProgress>(); }
  void AddRow(disk::FoundRow) override {}
  void ShowMessage(const std::string&) override {}
  bool AskYesNo(const std::string&, bool) override { return false; }
};

constexpr std::uint32_t kRecords = 64;
constexpr std::uint64_t kMftLcn = 16;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  // The first byte chooses where the bytes go and whether every record
  // gets its "FILE" signature; the rest lands on the MFT from record 16 on
  // (or from record 0 on) and runs on into the data clusters after it.
  const std::uint8_t control = data[0];
  ntfs::testing::VolumeBuilder b(512, (control & 4) ? 1 : 8, kRecords, kMftLcn, (control & 4) ? 512 : 64);
  disk::VolumeContext ctx = b.Build();
  auto device = std::static_pointer_cast<platform::MemoryDevice>(ctx.volumeHandle);
  std::vector<std::uint8_t>& image = device->Bytes();
  const std::size_t mft = kMftLcn * b.clusterSize();
  const std::size_t start = mft + ((control & 2) ? 0 : 16 * b.recordSize());
  const std::size_t n = std::min(size - 1, image.size() - start);
  std::copy(data + 1, data + 1 + n, image.begin() + static_cast<std::ptrdiff_t>(start));
  if (control & 1) {
    for (std::size_t r = start; r + 4 <= start + n && r < mft + kRecords * b.recordSize(); r += b.recordSize())
      ntfs::testing::Put(image, r, 0x454C4946, 4);
  }
  ctx.mftSelfRecord.clear();
  if (!ntfs::PrepareNtfsVolume(ctx)) return 0;
  disk::OperationState op;
  op.includeZeroSize = 1;
  NullHost host;
  ntfs::ScanMft(ctx, op, host, 0, std::string());
  for (std::uint32_t r = 0; r < kRecords; ++r) {
    auto stream = ntfs::DataStream::Open(ctx, r);
    if (!stream) continue;
    // A hostile size may promise far more than the volume holds: a few
    // units show that reading goes on safely.
    for (int units = 0; units < 8 && !stream->ReadNext().empty(); ++units) {
    }
    std::string path;
    ntfs::BuildFolderPath(ctx, path, r, 7);
  }
  return 0;
}
