// The NTFS search engine alone (volume preparation and the MFT walk, rows
// counted and dropped), for telling the engine's time from the front end's.
//   ambrelic_ntfs_scan_bench IMAGE   -> "<rows> rows"
#include <cstdio>

#include "ntfs/mft_scan.h"
#include "platform/block_device.h"
#include "platform/text.h"

namespace {

class CountingHost : public ambrelic::disk::EngineHost {
 public:
  std::unique_ptr<ambrelic::disk::ProgressSink> OpenProgress() override { return nullptr; }
  void AddRow(ambrelic::disk::FoundRow) override { ++rows; }
  void ShowMessage(const std::string&) override {}
  bool AskYesNo(const std::string&, bool) override { return false; }
  long rows = 0;
};

}  // namespace

int main(int argc, char** argv) {
  using namespace ambrelic;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s IMAGE\n", argv[0]);
    return 2;
  }
  platform::InitLocale();
  disk::VolumeContext ctx;
  auto opened = platform::OpenFileDevice(argv[1]);
  if (!opened.device) return 1;
  ctx.volumeHandle = opened.device;
  ctx.SearchedRoot = "C:\\";
  if (!ntfs::PrepareNtfsVolume(ctx)) return 1;
  disk::OperationState op;
  CountingHost host;
  ntfs::ScanMft(ctx, op, host, 0, std::string());
  std::printf("%ld rows\n", host.rows);
  return 0;
}
