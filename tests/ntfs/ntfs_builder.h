// Hand-built NTFS volumes in memory, for the corner cases no tool writes:
// records assembled attribute by attribute (protected by update sequences
// as on disk), placed in an MFT whose own record lists them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk/byte_reader.h"
#include "disk/volume_context.h"
#include "ntfs/mft_scan.h"
#include "platform/block_device.h"

namespace ambrelic::ntfs::testing {

using ByteVec = std::vector<std::uint8_t>;

inline void Put(ByteVec& v, std::size_t off, std::uint64_t value, int width) {
  if (v.size() < off + width) v.resize(off + width);
  for (int i = 0; i < width; ++i) v[off + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline ByteVec Utf16(const std::u16string& s) {
  ByteVec out;
  for (char16_t c : s) {
    out.push_back(static_cast<std::uint8_t>(c));
    out.push_back(static_cast<std::uint8_t>(c >> 8));
  }
  return out;
}

inline std::size_t Align8(std::size_t n) { return (n + 7) & ~std::size_t{7}; }

inline ByteVec ResidentAttr(std::uint32_t type, const ByteVec& value, const std::u16string& name = u"",
                            std::uint16_t flags = 0) {
  const std::size_t nameOff = 0x18;
  const std::size_t valueOff = Align8(nameOff + name.size() * 2);
  ByteVec a(Align8(valueOff + value.size()), 0);
  Put(a, 0x00, type, 4);
  Put(a, 0x04, a.size(), 4);
  a[0x08] = 0;
  a[0x09] = static_cast<std::uint8_t>(name.size());
  Put(a, 0x0A, nameOff, 2);
  Put(a, 0x0C, flags, 2);
  Put(a, 0x10, value.size(), 4);
  Put(a, 0x14, valueOff, 2);
  ByteVec n = Utf16(name);
  std::copy(n.begin(), n.end(), a.begin() + nameOff);
  std::copy(value.begin(), value.end(), a.begin() + valueOff);
  return a;
}

struct NonResident {
  std::uint32_t type = 0x80;
  ByteVec runs;  // with its 0x00 terminator
  std::uint64_t lowestVcn = 0;
  std::uint64_t highestVcn = 0;
  std::uint64_t allocated = 0;
  std::uint64_t real = 0;
  std::uint64_t initialized = 0;
  std::uint16_t flags = 0;
  std::uint8_t compressionUnit = 0;
  std::u16string name;
};

inline ByteVec NonResidentAttr(const NonResident& d) {
  const std::size_t nameOff = 0x40;
  const std::size_t runOff = Align8(nameOff + d.name.size() * 2);
  ByteVec a(Align8(runOff + d.runs.size()), 0);
  Put(a, 0x00, d.type, 4);
  Put(a, 0x04, a.size(), 4);
  a[0x08] = 1;
  a[0x09] = static_cast<std::uint8_t>(d.name.size());
  Put(a, 0x0A, nameOff, 2);
  Put(a, 0x0C, d.flags, 2);
  Put(a, 0x10, d.lowestVcn, 8);
  Put(a, 0x18, d.highestVcn, 8);
  Put(a, 0x20, runOff, 2);
  a[0x22] = d.compressionUnit;
  Put(a, 0x28, d.allocated, 8);
  Put(a, 0x30, d.real, 8);
  Put(a, 0x38, d.initialized, 8);
  ByteVec n = Utf16(d.name);
  std::copy(n.begin(), n.end(), a.begin() + nameOff);
  std::copy(d.runs.begin(), d.runs.end(), a.begin() + runOff);
  return a;
}

inline ByteVec FileNameValue(std::uint64_t parentRef, const std::u16string& name, std::uint8_t nameSpace = 1) {
  ByteVec v(0x42, 0);
  Put(v, 0x00, parentRef, 8);
  v[0x40] = static_cast<std::uint8_t>(name.size());
  v[0x41] = nameSpace;
  ByteVec n = Utf16(name);
  v.insert(v.end(), n.begin(), n.end());
  return v;
}

inline ByteVec FileNameAttr(std::uint64_t parentRef, const std::u16string& name, std::uint8_t nameSpace = 1) {
  return ResidentAttr(0x30, FileNameValue(parentRef, name, nameSpace));
}

// $STANDARD_INFORMATION with the record-change time at 0x10.
inline ByteVec StandardInfoAttr(std::uint64_t changed = 0x01D0000000000000ULL) {
  ByteVec v(48, 0);
  Put(v, 0x10, changed, 8);
  return ResidentAttr(0x10, v);
}

inline ByteVec ListEntry(std::uint32_t type, std::uint64_t startVcn, std::uint64_t record) {
  ByteVec e(32, 0);
  Put(e, 0x00, type, 4);
  Put(e, 0x04, 32, 2);
  Put(e, 0x08, startVcn, 8);
  Put(e, 0x10, record, 8);
  return e;
}

inline constexpr std::uint16_t kInUse = 0x01;
inline constexpr std::uint16_t kDirectory = 0x02;

// A device that reads as zeros beyond the bytes it was given, up to size:
// a large volume whose first part was built.
class ZeroExtendedDevice : public platform::BlockDevice {
 public:
  ZeroExtendedDevice(platform::DevicePtr inner, std::uint64_t size) : inner_(std::move(inner)), size_(size) {}
  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::fill(out.begin(), out.end(), 0);
    if (offset < inner_->Size()) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(out.size(), inner_->Size() - offset));
      inner_->ReadAt(offset, out.first(n));
    }
    return true;
  }
  bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
  std::uint64_t Size() const override { return size_; }
  bool Writable() const override { return false; }

 private:
  platform::DevicePtr inner_;
  std::uint64_t size_;
};

// A file record: header, attributes in the order added, end marker, and
// the update sequence written into the block tails as on disk. NTFS
// protects every record in blocks of 512 bytes, whatever the sector size.
class RecordBuilder {
 public:
  explicit RecordBuilder(std::uint16_t flags = kInUse) : flags_(flags) {}
  RecordBuilder& Add(const ByteVec& attribute) {
    attributes_.push_back(attribute);
    return *this;
  }
  ByteVec Build(std::uint32_t size = 1024, std::uint32_t stride = 512) const {
    ByteVec r(size, 0);
    const std::size_t count = size / stride + 1;
    const std::size_t usa = 0x30;
    std::size_t at = Align8(usa + 2 * count);
    Put(r, 0x00, 0x454C4946, 4);
    Put(r, 0x04, usa, 2);
    Put(r, 0x06, count, 2);
    Put(r, 0x10, 1, 2);
    Put(r, 0x14, at, 2);
    Put(r, 0x16, flags_, 2);
    for (const auto& a : attributes_) {
      std::copy(a.begin(), a.end(), r.begin() + at);
      at += a.size();
    }
    Put(r, at, 0xFFFFFFFF, 4);
    Put(r, 0x18, at + 8, 4);
    Put(r, 0x1C, size, 4);
    // Protect: the real sector tails go to the array, the sequence number
    // to the tails.
    const std::uint16_t usn = 0x0007;
    Put(r, usa, usn, 2);
    for (std::size_t i = 1; i < count; ++i) {
      const std::size_t tail = i * stride - 2;
      r[usa + 2 * i] = r[tail];
      r[usa + 2 * i + 1] = r[tail + 1];
      Put(r, tail, usn, 2);
    }
    return r;
  }

 private:
  std::uint16_t flags_;
  std::vector<ByteVec> attributes_;
};

// A volume with its MFT at mftLcn: record 0 describes the MFT (one run, or
// the runs given) and a resident $BITMAP marking records 0-15 and those
// marked in use; record 5 is the root folder.
class VolumeBuilder {
 public:
  // sectorsPerCluster is a count; above 128 it goes into the boot sector
  // as a negative power of two, as Windows writes it.
  VolumeBuilder(std::uint32_t bytesPerSector = 512, std::uint32_t sectorsPerCluster = 8, std::uint32_t records = 64,
                std::uint64_t mftLcn = 16, std::uint64_t clusters = 256, std::uint8_t clustersPerRecord = 0xF6)
      : bps_(bytesPerSector), spc_(sectorsPerCluster), records_(records), mftLcn_(mftLcn), cpr_(clustersPerRecord) {
    cs_ = bps_ * spc_;
    recordSize_ = cpr_ < 128 ? cpr_ * cs_ : 1u << (256 - cpr_);
    // One sector more than the clusters, as NTFS keeps the copy of its boot
    // sector after the volume's last cluster.
    image_.assign(static_cast<std::size_t>(clusters) * cs_ + bps_, 0);
    inUse_.assign(records, false);
    for (int i = 0; i < 16 && i < static_cast<int>(records); ++i) inUse_[i] = true;
    boot_.assign(512, 0);
    Put(boot_, 0x03, 0x202020205346544EULL, 8);  // "NTFS    "
    Put(boot_, 0x0B, bps_, 2);
    std::uint8_t spcByte = static_cast<std::uint8_t>(spc_);
    if (spc_ > 128) {
      int shift = 0;
      while ((1u << shift) < spc_) ++shift;
      spcByte = static_cast<std::uint8_t>(256 - shift);
    }
    boot_[0x0D] = spcByte;
    Put(boot_, 0x28, clusters * spc_, 8);
    Put(boot_, 0x30, mftLcn_, 8);
    boot_[0x40] = cpr_;
    boot_[0x44] = 0xF6;
    Put(boot_, 0x1FE, 0xAA55, 2);
  }

  std::uint32_t clusterSize() const { return cs_; }
  std::uint32_t recordSize() const { return recordSize_; }
  ByteVec& image() { return image_; }
  ByteVec& boot() { return boot_; }

  void SetRecord(std::uint32_t n, const ByteVec& record, bool inUseInBitmap = false) {
    records_map_.push_back({n, record});
    if (n < inUse_.size()) inUse_[n] = inUse_[n] || inUseInBitmap;
  }
  void WriteCluster(std::uint64_t lcn, const ByteVec& data) {
    std::copy(data.begin(), data.end(), image_.begin() + lcn * cs_);
  }
  // MFT runs other than one contiguous run (VCN order; the clusters they
  // name must cover records * recordSize bytes).
  void SetMftRuns(const ByteVec& runs, std::vector<std::pair<std::uint64_t, std::uint64_t>> extents) {
    mftRuns_ = runs;
    mftExtents_ = std::move(extents);
  }
  // Extra attributes of record 0 (placed after $DATA).
  void AddSelfAttribute(const ByteVec& a) { selfExtra_.push_back(a); }
  void SetSelfBitmap(std::optional<ByteVec> attribute) { selfBitmap_ = std::move(attribute); }
  // Makes the MFT's $DATA claim more clusters than its first extent maps.
  void SetMftClaimedClusters(std::uint64_t clusters) { claimedClusters_ = clusters; }

  // Lays everything out and returns a context prepared as the application
  // would: the device opened, the root named, PrepareNtfsVolume run.
  disk::VolumeContext Build(bool* prepared = nullptr) {
    const std::uint64_t mftBytes = static_cast<std::uint64_t>(records_) * recordSize_;
    const std::uint64_t mftClusters = (mftBytes + cs_ - 1) / cs_;
    if (mftExtents_.empty()) {
      ByteVec runs = {0x00};
      runs = RunBytes(mftClusters, mftLcn_);
      mftRuns_ = runs;
      mftExtents_ = {{mftLcn_, mftClusters}};
    }
    ByteVec bitmap((records_ + 7) / 8, 0);
    for (std::uint32_t i = 0; i < records_; ++i)
      if (inUse_[i]) bitmap[i / 8] |= static_cast<std::uint8_t>(1u << (i % 8));
    RecordBuilder self(kInUse);
    self.Add(StandardInfoAttr()).Add(FileNameAttr(5, u"$MFT", 3));
    NonResident data;
    data.runs = mftRuns_;
    data.highestVcn = mftClusters - 1;
    data.allocated = (claimedClusters_ ? claimedClusters_ : mftClusters) * cs_;
    data.real = data.initialized = claimedClusters_ ? data.allocated : mftBytes;
    self.Add(NonResidentAttr(data));
    for (const auto& a : selfExtra_) self.Add(a);
    if (selfBitmap_) {
      if (!selfBitmap_->empty()) self.Add(*selfBitmap_);
    } else {
      self.Add(ResidentAttr(0xB0, bitmap));
    }
    ByteVec mft(mftClusters * cs_, 0);
    auto place = [&](std::uint32_t n, const ByteVec& r) {
      std::copy(r.begin(), r.end(), mft.begin() + static_cast<std::size_t>(n) * recordSize_);
    };
    place(0, self.Build(recordSize_));
    RecordBuilder root(kInUse | kDirectory);
    root.Add(StandardInfoAttr()).Add(FileNameAttr(5, u".", 3));
    place(5, root.Build(recordSize_));
    for (const auto& [n, r] : records_map_) place(n, r);
    std::uint64_t vcn = 0;
    for (const auto& [lcn, count] : mftExtents_) {
      std::copy(mft.begin() + vcn * cs_, mft.begin() + (vcn + count) * cs_, image_.begin() + lcn * cs_);
      vcn += count;
    }
    std::copy(boot_.begin(), boot_.end(), image_.begin());
    disk::VolumeContext ctx;
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Ntfs;
    ctx.volumeHandle = std::make_shared<platform::MemoryDevice>(image_, false);
    const bool ok = PrepareNtfsVolume(ctx);
    if (prepared) *prepared = ok;
    return ctx;
  }

  // One run: length and LCN delta, each in as few bytes as they need.
  static ByteVec RunBytes(std::uint64_t length, std::int64_t delta, bool terminate = true) {
    auto bytesFor = [](std::uint64_t v, bool isSigned) {
      int n = 1;
      while (n < 8) {
        const std::int64_t s = static_cast<std::int64_t>(v);
        if (isSigned) {
          const std::int64_t lo = -(std::int64_t{1} << (8 * n - 1));
          const std::int64_t hi = (std::int64_t{1} << (8 * n - 1)) - 1;
          if (s >= lo && s <= hi) break;
        } else if (v < (std::uint64_t{1} << (8 * n))) {
          break;
        }
        ++n;
      }
      return n;
    };
    const int l = bytesFor(length, false);
    const int o = delta == 0 ? 0 : bytesFor(static_cast<std::uint64_t>(delta), true);
    ByteVec r = {static_cast<std::uint8_t>(l | (o << 4))};
    for (int i = 0; i < l; ++i) r.push_back(static_cast<std::uint8_t>(length >> (8 * i)));
    for (int i = 0; i < o; ++i) r.push_back(static_cast<std::uint8_t>(static_cast<std::uint64_t>(delta) >> (8 * i)));
    if (terminate) r.push_back(0);
    return r;
  }

 private:
  std::uint32_t bps_;
  std::uint32_t spc_;
  std::uint32_t records_;
  std::uint64_t mftLcn_;
  std::uint8_t cpr_;
  std::uint32_t cs_ = 0;
  std::uint32_t recordSize_ = 0;
  ByteVec image_;
  ByteVec boot_;
  std::vector<bool> inUse_;
  std::vector<std::pair<std::uint32_t, ByteVec>> records_map_;
  ByteVec mftRuns_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> mftExtents_;
  std::vector<ByteVec> selfExtra_;
  std::optional<ByteVec> selfBitmap_;
  std::uint64_t claimedClusters_ = 0;
};

}  // namespace ambrelic::ntfs::testing
