// libFuzzer target, NT path: the input is the image a user names on the
// command line (a volume, or a whole disk with its partition tables). Its
// drives are listed and identified as `drives` does, then searched, and
// (unless the target is built search-only) restored, scanned and wiped
// through the main dialog as the input's controls say. Every run must end
// without a fault, in bounded time and memory.
#include <clocale>

#include "fuzz_harness.h"
#include "platform/drives.h"
#include "ui/volume_preparation.h"

using namespace ambrelic;

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
  const platform::DriveTable table = platform::BuildDriveTable({source});
  for (const auto& drive : table.drives) ui::IdentifyDriveKind(drive);
  fuzz::FuzzHost host(*input);
  ui::MainDialog dialog(host, table.drives);
  dialog.Initialise();
  fuzz::RunCommands(dialog, host, *input);
  return 0;
}
