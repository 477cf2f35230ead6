// The deep scan: one sequential pass over the units (clusters, or sectors on
// a device without a file system we know) where deleted files may still lie,
// testing the first bytes of each unit against every format and letting the
// format's parser say where a file that starts there ends. The engine that
// knows the file system hands over which units are open to it; this side
// knows nothing of FAT, exFAT or NTFS.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "carve/format.h"
#include "disk/cluster_set.h"
#include "disk/sinks.h"
#include "disk/volume_context.h"

namespace ambrelic::carve {

// Units numbered firstUnit .. firstUnit + unitCount - 1, each
// sectorsPerUnit sectors of the volume (as disk::ReadSectors numbers them),
// unit u starting at sector baseSector + (u - firstUnit) * sectorsPerUnit.
struct ScanArea {
  std::uint64_t firstUnit = 0;
  std::uint64_t unitCount = 0;
  std::uint64_t baseSector = 0;
  std::uint32_t sectorsPerUnit = 1;
  std::uint32_t bytesPerSector = 512;
  // The units a carved file may start in and be read from (the rest are
  // live, or belong to a file the search lists), indexed by unit number;
  // null: every unit.
  const disk::ClusterSet* open = nullptr;

  std::uint64_t UnitBytes() const { return std::uint64_t{sectorsPerUnit} * bytesPerSector; }
  std::uint64_t EndUnit() const { return firstUnit + unitCount; }
  bool IsOpen(std::uint64_t u) const { return u >= firstUnit && u < EndUnit() && (!open || open->Test(u)); }
};

// Consecutive units a carved file's bytes were read from.
struct UnitRun {
  std::uint64_t first = 0;
  std::uint64_t count = 0;
};

// One file the scan found: what its parser said, and the units it lies in,
// in file order (the last one holding its last byte).
struct CarvedFile {
  Parsed parsed;
  std::uint64_t firstUnit = 0;
  std::vector<UnitRun> runs;
  // Units a fragmented photo's continuation was looked for past (0 when it
  // was read straight through the open units).
  std::uint64_t skippedUnits = 0;
};

struct ScanOptions {
  // Types or extensions to look for ("jpg", "docx"...); empty: all.
  std::vector<std::string> types;
  Limits limits;
  // A JPEG that stops decoding (or runs into units that are not open) has
  // its continuation looked for among the next open units, skipping up to
  // this many of them; 0 turns it off.
  std::uint64_t maxFragmentGap = 256;
  // Progress count label: "Cluster:" or "Sector:".
  std::string countLabel = "Cluster:";
  // A photo whose structure reaches EOI is taken as whole at once and its
  // codes checked on a thread of its own while the pass reads on (the
  // rows come out as if each had been checked where it stands); false
  // checks each one before the pass goes on.
  bool checkPhotosAside = true;
};

struct ScanResult {
  bool cancelled = false;
  std::uint64_t files = 0;
  std::uint64_t bytesRead = 0;       // read from the device, once each
  std::uint64_t fragmentedFiles = 0; // photos put back together past a gap
};

// The bytes of the open units from `start` on, laid end to end (what a
// file starting there may hold), read through a cache that the scan's own
// pass shares.
class UnitReader;

// Runs the pass. `found` gets each file as it is recognised; the progress
// sink (may be null) gets the position in units and its Cancel ends the
// scan with what was found so far. A device that stops answering ends it
// too.
ScanResult ScanUnits(const disk::VolumeContext& ctx, const ScanArea& area, const ScanOptions& options,
                     disk::ProgressSink* progress, const std::function<void(CarvedFile)>& found);

// A source over given runs of units (what a row says its file was read
// from), for the restore and the content check: `length` bytes at most.
class RunSource final : public ByteSource {
 public:
  RunSource(const disk::VolumeContext& ctx, const ScanArea& area, std::vector<UnitRun> runs, std::uint64_t length);
  std::uint64_t Size() const override { return length_; }
  std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override;

 private:
  const disk::VolumeContext& ctx_;
  ScanArea area_;
  std::vector<UnitRun> runs_;
  std::vector<std::uint64_t> starts_;  // byte offset of each run in the file
  std::uint64_t length_ = 0;
  std::vector<std::uint8_t> unit_;
  std::uint64_t cachedUnit_ = ~std::uint64_t{0};
};

// "f0012345.jpg", or the name the content gives ("2019-07-04 12-30-05.jpg").
std::string CarvedName(const CarvedFile& file);

// Whether a format (or a parse's extension) is among the types asked for.
bool TypeWanted(const std::vector<std::string>& types, const Format& format);
bool ExtensionWanted(const std::vector<std::string>& types, const Format& format, const std::string& extension);

}  // namespace ambrelic::carve
