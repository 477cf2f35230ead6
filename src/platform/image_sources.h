// The images people bring instead of a disk: forensic and virtual-machine
// containers read through their own libraries (EWF, VHD/VHDX, VMDK, QCOW),
// a raw image split into numbered parts, and GNU ddrescue's mapfile, which
// says which parts of an image were never read from the failing medium.
// Each is a read-only source: the bytes of the disk it holds, at the same
// offsets, whatever the container does to store them.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/block_device.h"

namespace ambrelic::platform {

enum class SourceKind { Raw, SplitRaw, Ewf, Vhd, Vmdk, Qcow };

// What the source at path is, from its content (the container's own
// signature); a first part named NAME.001 with a NAME.002 beside it is a
// split raw image. Anything else (a block device, a plain image, a path
// that cannot be read) is Raw.
SourceKind KindOfSource(const std::string& path);

// "E01 image", "VHD image", ...: how the user's source is named in messages.
std::string SourceKindName(SourceKind kind);

// True for the kinds that are read through a container: they cannot be
// written in place.
inline bool IsContainer(SourceKind kind) { return kind != SourceKind::Raw; }

// Why the wipe refuses a container source, for its message.
std::string NotWritableInPlaceText(SourceKind kind);

// The parts of a split raw image whose first part is path, in order
// (path alone when it is not one).
std::vector<std::string> SplitRawParts(const std::string& path);

// Opens the whole disk a container holds, read-only. error is an errno
// (EIO when the library could not make sense of the container or of a
// part it names, ENOENT when the path is gone).
OpenResult OpenContainer(const std::string& path, SourceKind kind);

// GNU ddrescue's mapfile: the areas it marked finished ('+'). Everything
// else (not tried, not trimmed, not scraped, bad, or not in the file) was
// never read from the medium: the image holds zeros or stale bytes there.
struct RescueMap {
  std::vector<std::pair<std::uint64_t, std::uint64_t>> finished;  // [begin, end), ascending, merged
};
// Parses a mapfile; false with a reason in error when it is not one.
bool ReadRescueMap(const std::string& path, RescueMap& map, std::string& error);

// The mapfile that goes with an image: the one named for it (UseMapfile),
// else IMAGE.map or IMAGE.mapfile beside it (also with the image's
// extension replaced). Empty when there is none.
std::string MapfileFor(const std::string& source);
// Names the mapfile of a source (the command line's --mapfile).
void UseMapfile(const std::string& source, const std::string& mapfile);

// A device whose reads fail (EIO) wherever the map does not say the bytes
// were rescued: the bytes before the first such byte are delivered, the
// rest are zeros, as a failing medium's short read.
class RescuedImageDevice : public BlockDevice {
 public:
  RescuedImageDevice(DevicePtr inner, RescueMap map) : inner_(std::move(inner)), map_(std::move(map)) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override;
  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override;
  bool WriteAt(std::uint64_t offset, std::span<const std::uint8_t> in) override { return inner_->WriteAt(offset, in); }
  std::uint64_t Size() const override { return inner_->Size(); }
  bool Writable() const override { return inner_->Writable(); }
  bool Flush() override { return inner_->Flush(); }

 private:
  DevicePtr inner_;
  RescueMap map_;
};

}  // namespace ambrelic::platform
