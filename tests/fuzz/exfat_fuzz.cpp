// libFuzzer target: any bytes as an exFAT volume image, searched, scanned
// (vacant clusters, then all), walked for a folder restore with the
// restore's cluster choice for every file, and wiped in memory. Every run
// must end without a fault.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "disk/operation_state.h"
#include "exfat/allocation.h"
#include "exfat/directory_walk.h"
#include "exfat/volume.h"
#include "exfat/wipe.h"
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
  bool AskYesNo(const std::string&, bool) override { return true; }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 513) return 0;
  // The first byte chooses the options; the rest is the image.
  const std::uint8_t control = data[0];
  auto device = std::make_shared<platform::MemoryDevice>(std::vector<std::uint8_t>(data + 1, data + size), true);
  disk::VolumeContext ctx;
  ctx.fsKind = disk::FsKind::Exfat;
  ctx.SearchedRoot = "C:\\";
  ctx.volumeHandle = device;
  if (!exfat::PrepareExfatVolume(ctx)) return 0;
  // Keep each run short: the scans visit every cluster the boot sector
  // claims and the device holds.
  if (ctx.exfat.lastCluster > 1u << 16) return 0;

  disk::OperationState op;
  op.includeZeroSize = control & 0x04;
  op.includeUsedClusters = control & 0x08;
  if (control & 0x10) op.nameFilter = "A";
  NullHost host;
  exfat::SearchExfat(ctx, op, host);
  op.ClusterScanActive = 1;
  exfat::ScanExfatClusters(ctx, op, host);
  op.IncludeUsedClusters = 1;
  exfat::ReleaseWalkMarks(ctx);
  exfat::ScanExfatClusters(ctx, op, host);
  op.IncludeUsedClusters = 0;

  exfat::WalkHooks hooks;
  hooks.restoreEntry = [&ctx](const exfat::RestoreCandidate& c) {
    bool complete = false;
    exfat::SelectRestoreClusters(ctx, c.stream.firstCluster, std::min<std::uint64_t>(c.stream.dataLength, 1u << 24),
                                 c.stream.noFatChain, complete);
    // Folders are entered where a restore would make them.
    return c.isFolder ? c.parentPath + "/" + c.name : std::string();
  };
  disk::ExfatStream folder;
  folder.firstCluster = ctx.exfat.rootCluster;
  folder.dataLength = std::uint64_t{ctx.exfat.bytesPerCluster} * (1 + control % 4);
  folder.noFatChain = control & 0x20;
  folder.isFolder = true;
  exfat::RestoreFolderWalk(ctx, op, host, folder, "/restore", hooks);

  if (control & 0x40) {
    platform::RandomSource random;
    random.Seed(control);
    exfat::WipeExfatVolume(ctx, op, host, random, false);
  }
  return 0;
}
