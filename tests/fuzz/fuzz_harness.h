// What every libFuzzer target of the program shares: the input is what a
// user brings (the bytes of a volume or of a whole disk), written as an
// image file into a folder in memory and taken from there by the same code
// a user's image goes through: the drive table, volume preparation, and the
// commands of the main dialog, each answered the way its controls say.
//
// An input is a four-byte header and the image:
//   byte 0      controls (kControl* bits)
//   bytes 1-2   the device's size in 4 KiB units, little-endian: the image
//               is padded with zeros up to it (a seed may be stored trimmed
//               of its trailing zeros); 0 means the image's own length
//   byte 3      the letter the scan-all and the name filter look for (low
//               bits), and on the 9x path the BIOS geometry (high bits)
//
// A new target is one file with LLVMFuzzerTestOneInput that decodes the
// input, writes the source and builds its drive list, then hands the main
// dialog to RunCommands; see tests/fuzz/README.md.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "ui/host.h"
#include "ui/main_dialog.h"

namespace ambrelic::fuzz {

constexpr std::size_t kHeaderBytes = 4;
// Devices are capped here so that one run (which may scan every cluster and
// wipe every vacant one) stays short; what a boot sector claims is not.
constexpr std::uint64_t kMaxDeviceBytes = 8ull << 20;
// Drives of one source worked on per run (a table may list many).
constexpr int kMaxDrives = 4;

enum Control : std::uint8_t {
  kControlRemovable = 0x01,  // the source is a removable disk
  kControlFloppy = 0x02,     // the source is a floppy (A:)
  kControlIncludeUsed = 0x04,
  kControlIncludeZero = 0x08,
  kControlScanVacant = 0x10,  // Yes to "scan vacant clusters?"
  kControlScanAll = 0x20,
  kControlRestore = 0x40,     // restore the first rows found
  kControlWipe = 0x80,        // delete completely, every question Yes
};

struct Input {
  std::uint8_t controls = 0;
  std::uint64_t deviceBytes = 0;
  char letter = 'A';
  std::uint8_t geometry = 0;  // 0..3, the 9x target's choice of BIOS geometry
  std::span<const std::uint8_t> image;
};

// The controls a search reads (the source's kind, the search's options);
// the command bits (restore, scan-all, wipe) are not among them.
constexpr std::uint8_t kSearchControls =
    kControlRemovable | kControlFloppy | kControlIncludeUsed | kControlIncludeZero | kControlScanVacant;

// Nothing when the input is too short to carry a header and a sector.
// searchOnly keeps only the search's controls: the input runs the search
// alone, many times faster than with the commands after it (the wipe over
// the whole device above all), so a search target reaches deeper.
std::optional<Input> Decode(const std::uint8_t* data, std::size_t size, bool searchOnly = false);

// Targets of one source differ by their seeds and by this: built with
// AMBRELIC_FUZZ_SEARCH_ONLY, a target runs the search alone.
#ifdef AMBRELIC_FUZZ_SEARCH_ONLY
constexpr bool kSearchOnly = true;
#else
constexpr bool kSearchOnly = false;
#endif

// A folder of this process in memory (/dev/shm when there is one), made once
// and removed at exit.
const std::string& ScratchFolder();

// Writes the image as <scratch>/source.img padded to its device size, and
// returns the path.
std::string WriteSource(const Input& input);

// Answers every box: Yes to questions (but the vacant-scan question as the
// controls say), Cancel to Retry boxes, OK to messages; the Save As dialog
// with the path it was given, once.
class FuzzHost : public ui::Host {
 public:
  explicit FuzzHost(const Input& input) : input_(input) {}
  ui::Answer ShowMessage(const ui::MessageRequest& message) override;
  void SetFocus(ui::FocusTarget) override {}
  void SetWaitCursor(bool) override {}
  void ShowNotice(bool, const std::string&) override {}
  std::unique_ptr<ui::ProgressView> CreateProgressView() override;
  bool PumpMessages() override { return false; }
  std::optional<std::string> AskSaveAs(const std::string&, const std::string&, const std::string&) override;

  std::optional<std::string> saveAs;  // taken by the next Save As dialog

 private:
  const Input& input_;
};

// On each of the first kMaxDrives drives of the dialog: the drive-change
// preview, a search, and as the controls say the restore of its first rows,
// scan-all and delete-completely (none of them for a search-only input).
void RunCommands(ui::MainDialog& dialog, FuzzHost& host, const Input& input);

}  // namespace ambrelic::fuzz
