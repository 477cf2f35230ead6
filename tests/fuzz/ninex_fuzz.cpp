// libFuzzer target, Windows 9x path: the input is a disk served as a BIOS
// disk by the INT 13h stand-in (a hard disk, or as the controls say a
// removable disk or a floppy), with a BIOS geometry the header picks. The
// start-up partition walk, the drive letters and their binding run as at
// start-up; then every drive is searched, and (unless the target is built
// search-only) restored, scanned and wiped through the main dialog as the
// input's controls say. Every run must end without a fault, in bounded time
// and memory.
#include <clocale>

#include "fuzz_harness.h"
#include "ui/volume_preparation.h"
#include "ui/windows9x.h"

using namespace ambrelic;

namespace {

// BIOS geometries: the usual one, one the walk sets aside, an old small
// one, and the usual one reached by cylinder, head and sector requests.
constexpr struct {
  int heads, sectors;
  bool lba;
} kGeometries[4] = {{255, 63, true}, {64, 32, true}, {16, 17, false}, {255, 63, false}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" std::size_t LLVMFuzzerCustomMutator(std::uint8_t* data, std::size_t size, std::size_t maxSize,
                                               unsigned seed) {
  return fuzz::MutateChunks(data, size, maxSize, seed);
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const auto input = fuzz::Decode(data, size, fuzz::kSearchOnly);
  if (!input) return 0;
  platform::DriveSource source;
  source.path = fuzz::WriteSource(*input);
  source.floppy = input->controls & fuzz::kControlFloppy;
  source.removable = input->controls & fuzz::kControlRemovable;
  ui::Windows9xOptions options;
  options.heads = kGeometries[input->geometry].heads;
  options.sectorsPerTrack = kGeometries[input->geometry].sectors;
  options.lba = kGeometries[input->geometry].lba;
  ui::Windows9xPlatform platform;
  if (!platform.Start({source}, options, AMBRELIC_SERVICE_FOLDER).empty()) std::abort();
  const std::vector<platform::Drive> drives = platform.BuildDriveTable();
  for (const auto& drive : drives) ui::IdentifyDriveKind(drive);
  fuzz::FuzzHost host(*input);
  ui::MainDialog dialog(host, drives);
  dialog.UseWindows9x(&platform);
  dialog.Initialise();
  fuzz::RunCommands(dialog, host, *input);
  return 0;
}
