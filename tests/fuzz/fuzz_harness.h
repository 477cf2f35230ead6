// What every libFuzzer target of the program shares: the input is what a
// user brings (the bytes of a volume or of a whole disk), written as an
// image file into a folder in memory and taken from there by the same code
// a user's image goes through: the drive table, volume preparation, and the
// commands of the main dialog, each answered the way its controls say.
//
// An input is a four-byte header and the image as chunks over zeros:
//   byte 0      controls (kControl* bits)
//   bytes 1-2   the device's size in 4 KiB units, little-endian; 0 means as
//               far as the last chunk reaches
//   byte 3      the letter the scan-all and the name filter look for (low
//               bits), and on the 9x path the BIOS geometry (high bits)
// then, up to the input's end, chunks:
//   bytes 0-3   where the chunk lies in the image, little-endian
//   bytes 4-5   its length, little-endian
//   then its bytes (a chunk cut by the input's end keeps what is there)
// The image is zeros but for its chunks, a later chunk over an earlier
// one. A volume of megabytes whose structures take a few kilobytes is an
// input of a few kilobytes: the fuzzer keeps real volumes whole, and its
// mutations land on their structures, not on the zeros between them.
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
#include <vector>

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

constexpr std::size_t kChunkHeaderBytes = 6;

struct Chunk {
  std::uint64_t offset = 0;
  std::span<const std::uint8_t> bytes;  // within the device
};

struct Input {
  std::uint8_t controls = 0;
  std::uint64_t deviceBytes = 0;
  char letter = 'A';
  std::uint8_t geometry = 0;  // 0..3, the 9x target's choice of BIOS geometry
  std::vector<Chunk> chunks;  // in the input's order
};

// The controls a search reads (the source's kind, the search's options);
// the command bits (restore, scan-all, wipe) are not among them.
constexpr std::uint8_t kSearchControls =
    kControlRemovable | kControlFloppy | kControlIncludeUsed | kControlIncludeZero | kControlScanVacant;

// Nothing when the device would be shorter than a sector.
// searchOnly keeps only the search's controls: the input runs the search
// alone, many times faster than with the commands after it (the wipe over
// the whole device above all), so a search target reaches deeper.
std::optional<Input> Decode(const std::uint8_t* data, std::size_t size, bool searchOnly = false);

// The mutation a target hands libFuzzer (LLVMFuzzerCustomMutator): most
// of the time libFuzzer's own mutation of one chunk's bytes, the chunk's
// length following it, so that inserting or removing bytes in one chunk
// does not shift every chunk after it off its header; now and then of the
// whole input (the header, where chunks lie, how many there are).
std::size_t MutateChunks(std::uint8_t* data, std::size_t size, std::size_t maxSize, unsigned seed);

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

// Writes the image as <scratch>/source.img, its chunks over a file of the
// device's size (a hole reads as zeros and takes no memory), and returns
// the path.
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
