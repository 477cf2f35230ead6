// libFuzzer target: any bytes as a FAT volume image, searched, scanned and
// walked for a folder restore. Every run must end without a fault.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/fat_boot_sector.h"
#include "disk/operation_state.h"
#include "fat/cluster_scan.h"
#include "fat/directory_walk.h"
#include "platform/block_device.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 513) return 0;
  // The first byte chooses the kind and the options; the rest is the image.
  const std::uint8_t control = data[0];
  std::vector<std::uint8_t> image(data + 1, data + size);
  disk::VolumeContext ctx;
  ctx.fsKind = static_cast<disk::FsKind>(1 + control % 3);
  ctx.SearchedRoot = "C:\\";
  auto device = std::make_shared<platform::MemoryDevice>(image, false);
  ctx.volumeHandle = device;
  if (!disk::ParseFatBootSectorBytes(ctx, image.data(), image.size(), 0, image.size() / 512)) return 0;
  // Keep each run short: the scan visits every cluster the boot sector
  // claims, which may be far more than the input holds.
  if (ctx.lastCluster > 1u << 16 || static_cast<std::uint64_t>(ctx.sectorsPerFat) * ctx.bytesPerSector > 1u << 22) {
    return 0;
  }
  fat::LoadAllocationTable(ctx, 0);

  disk::OperationState op;
  op.includeZeroSize = control & 0x04;
  op.includeUsedClusters = control & 0x08;
  if (control & 0x10) op.nameFilter = "A";
  NullHost host;
  fat::SearchFat(ctx, op, host);
  op.ClusterScanActive = 1;
  op.IncludeUsedClusters = (control & 0x20) ? 1 : 0;
  fat::ScanClusters(ctx, op, host);

  fat::WalkHooks hooks;
  hooks.restoreEntry = [](const fat::RestoreCandidate& c) { return c.isFolder ? c.fullPath : std::string(); };
  hooks.replaceRegion = [](std::uint32_t, std::span<std::uint8_t>, std::uint32_t) {};
  fat::RestoreFolderWalk(ctx, op, host, 2 + control % 8, "/restore", hooks);
  ctx.fatWork = ctx.fatCopy;
  op.OperationMode = disk::OpReplaceInfo;
  fat::SearchFat(ctx, op, host, hooks);
  return 0;
}
