#include "platform/image_sources.h"

#include <libewf.h>
#include <libqcow.h>
#include <libvhdi.h>
#include <libvmdk.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>

namespace ambrelic::platform {
namespace {

bool IsRegularFile(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// The libyal libraries share one shape: an opaque handle, open, media
// size, a read at an offset, close and free, each reporting through an
// error object the caller frees. The traits below name each library's
// functions; one device class serves them all.
struct EwfTraits {
  using Handle = libewf_handle_t;
  using Error = libewf_error_t;
  static int Init(Handle** h, Error** e) { return libewf_handle_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    // The segments of a split E01 (.E01, .E02... or .Ex01, .Ex02...)
    // are found from the first one.
    char** names = nullptr;
    int count = 0;
    if (libewf_glob(path.c_str(), path.size(), LIBEWF_FORMAT_UNKNOWN, &names, &count, e) != 1) return -1;
    const int rc = libewf_handle_open(h, names, count, LIBEWF_OPEN_READ, e);
    libewf_glob_free(names, count, nullptr);
    return rc;
  }
  static int Size(Handle* h, std::uint64_t* size, Error** e) {
    size64_t s = 0;
    const int rc = libewf_handle_get_media_size(h, &s, e);
    *size = s;
    return rc;
  }
  static ssize_t Read(Handle* h, std::uint8_t* buf, std::size_t n, std::uint64_t at, Error** e) {
    return libewf_handle_read_random(h, buf, n, static_cast<off64_t>(at), e);
  }
  static void Close(Handle* h) { libewf_handle_close(h, nullptr); }
  static void Free(Handle** h) { libewf_handle_free(h, nullptr); }
  static void FreeError(Error** e) { libewf_error_free(e); }
};

struct VhdTraits {
  using Handle = libvhdi_file_t;
  using Error = libvhdi_error_t;
  static int Init(Handle** h, Error** e) { return libvhdi_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libvhdi_file_open(h, path.c_str(), LIBVHDI_OPEN_READ, e);
  }
  static int Size(Handle* h, std::uint64_t* size, Error** e) {
    size64_t s = 0;
    const int rc = libvhdi_file_get_media_size(h, &s, e);
    *size = s;
    return rc;
  }
  static ssize_t Read(Handle* h, std::uint8_t* buf, std::size_t n, std::uint64_t at, Error** e) {
    return libvhdi_file_read_buffer_at_offset(h, buf, n, static_cast<off64_t>(at), e);
  }
  static void Close(Handle* h) { libvhdi_file_close(h, nullptr); }
  static void Free(Handle** h) { libvhdi_file_free(h, nullptr); }
  static void FreeError(Error** e) { libvhdi_error_free(e); }
};

struct VmdkTraits {
  using Handle = libvmdk_handle_t;
  using Error = libvmdk_error_t;
  static int Init(Handle** h, Error** e) { return libvmdk_handle_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    if (libvmdk_handle_open(h, path.c_str(), LIBVMDK_OPEN_READ, e) != 1) return -1;
    // A descriptor names its extent files (a monolithic image names
    // itself) relative to its own folder, not to ours.
    const auto slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    if (libvmdk_handle_set_extent_data_files_path(h, folder.c_str(), folder.size(), e) != 1) return -1;
    return libvmdk_handle_open_extent_data_files(h, e);
  }
  static int Size(Handle* h, std::uint64_t* size, Error** e) {
    size64_t s = 0;
    const int rc = libvmdk_handle_get_media_size(h, &s, e);
    *size = s;
    return rc;
  }
  static ssize_t Read(Handle* h, std::uint8_t* buf, std::size_t n, std::uint64_t at, Error** e) {
    return libvmdk_handle_read_buffer_at_offset(h, buf, n, static_cast<off64_t>(at), e);
  }
  static void Close(Handle* h) { libvmdk_handle_close(h, nullptr); }
  static void Free(Handle** h) { libvmdk_handle_free(h, nullptr); }
  static void FreeError(Error** e) { libvmdk_error_free(e); }
};

struct QcowTraits {
  using Handle = libqcow_file_t;
  using Error = libqcow_error_t;
  static int Init(Handle** h, Error** e) { return libqcow_file_initialize(h, e); }
  static int Open(Handle* h, const std::string& path, Error** e) {
    return libqcow_file_open(h, path.c_str(), LIBQCOW_OPEN_READ, e);
  }
  static int Size(Handle* h, std::uint64_t* size, Error** e) {
    size64_t s = 0;
    const int rc = libqcow_file_get_media_size(h, &s, e);
    *size = s;
    return rc;
  }
  static ssize_t Read(Handle* h, std::uint8_t* buf, std::size_t n, std::uint64_t at, Error** e) {
    return libqcow_file_read_buffer_at_offset(h, buf, n, static_cast<off64_t>(at), e);
  }
  static void Close(Handle* h) { libqcow_file_close(h, nullptr); }
  static void Free(Handle** h) { libqcow_file_free(h, nullptr); }
  static void FreeError(Error** e) { libqcow_error_free(e); }
};

template <typename T>
class ContainerDevice : public BlockDevice {
 public:
  ~ContainerDevice() override {
    if (handle_) {
      if (open_) T::Close(handle_);
      T::Free(&handle_);
    }
  }

  // errno-style result: 0 when the container was opened.
  int Open(const std::string& path) {
    typename T::Error* error = nullptr;
    if (T::Init(&handle_, &error) != 1) {
      T::FreeError(&error);
      return ENOMEM;
    }
    if (T::Open(handle_, path, &error) != 1) {
      T::FreeError(&error);
      // A path that went away reads as a missing file; anything else is
      // a container the library cannot read (damaged, or a segment or
      // extent it names is missing).
      return IsRegularFile(path) ? EIO : ENOENT;
    }
    open_ = true;
    if (T::Size(handle_, &size_, &error) != 1) {
      T::FreeError(&error);
      return EIO;
    }
    return 0;
  }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return ReadChecked(offset, out) == 0 && offset <= size_ && size_ - offset >= out.size();
  }

  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override {
    const std::uint64_t want = offset >= size_ ? 0 : std::min<std::uint64_t>(out.size(), size_ - offset);
    std::uint64_t done = 0;
    int result = 0;
    while (done < want) {
      typename T::Error* error = nullptr;
      const ssize_t got = T::Read(handle_, out.data() + done, static_cast<std::size_t>(want - done),
                                  offset + done, &error);
      if (got <= 0) {
        T::FreeError(&error);
        // The container's own data could not be read or decoded (a
        // failing disk under the image, a damaged chunk): to the engines
        // it is an unreadable sector like any other.
        result = EIO;
        break;
      }
      done += static_cast<std::uint64_t>(got);
    }
    if (done < out.size()) std::memset(out.data() + done, 0, out.size() - done);
    return result;
  }

  bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
  std::uint64_t Size() const override { return size_; }
  bool Writable() const override { return false; }

 private:
  typename T::Handle* handle_ = nullptr;
  bool open_ = false;
  std::uint64_t size_ = 0;
};

// A raw image cut into parts: the parts one after the other.
class SplitRawDevice : public BlockDevice {
 public:
  int Open(const std::vector<std::string>& paths) {
    for (const auto& path : paths) {
      OpenResult part = OpenRawFile(path);
      if (!part.device) return part.error;
      starts_.push_back(size_);
      size_ += part.device->Size();
      parts_.push_back(part.device);
    }
    return 0;
  }

  bool ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) override {
    return ReadChecked(offset, out) == 0 && offset <= size_ && size_ - offset >= out.size();
  }

  int ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) override {
    std::memset(out.data(), 0, out.size());
    if (offset >= size_) return 0;
    const std::uint64_t end = std::min<std::uint64_t>(size_, offset + out.size());
    auto it = std::upper_bound(starts_.begin(), starts_.end(), offset);
    std::size_t i = static_cast<std::size_t>(it - starts_.begin()) - 1;
    for (std::uint64_t at = offset; at < end && i < parts_.size(); ++i) {
      const std::uint64_t partEnd = starts_[i] + parts_[i]->Size();
      if (partEnd <= at) continue;
      const std::uint64_t n = std::min(end, partEnd) - at;
      const int error = parts_[i]->ReadChecked(at - starts_[i], out.subspan(at - offset, n));
      // The bytes before a failure were delivered; what follows is not
      // asked for, as a short read of one file would leave it.
      if (error != 0) return error;
      at += n;
    }
    return 0;
  }

  bool WriteAt(std::uint64_t, std::span<const std::uint8_t>) override { return false; }
  std::uint64_t Size() const override { return size_; }
  bool Writable() const override { return false; }

 private:
  std::vector<DevicePtr> parts_;
  std::vector<std::uint64_t> starts_;
  std::uint64_t size_ = 0;
};

template <typename T>
OpenResult OpenWith(const std::string& path) {
  OpenResult result;
  auto device = std::make_shared<ContainerDevice<T>>();
  result.error = device->Open(path);
  if (result.error == 0) result.device = device;
  return result;
}

// "disk.001" -> "disk.", 3 digits; empty when the name does not end so.
bool NumberedPart(const std::string& path, std::string& stem, std::size_t& digits) {
  const auto dot = path.find_last_of('.');
  const auto slash = path.find_last_of('/');
  if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return false;
  const std::string number = path.substr(dot + 1);
  if (number.size() < 3 || number.size() > 6) return false;
  for (char c : number) {
    if (c < '0' || c > '9') return false;
  }
  if (std::stoul(number) != 1) return false;
  stem = path.substr(0, dot + 1);
  digits = number.size();
  return true;
}

std::string PartName(const std::string& stem, std::size_t digits, unsigned n) {
  std::string number = std::to_string(n);
  if (number.size() < digits) number.insert(0, digits - number.size(), '0');
  return stem + number;
}

std::map<std::string, std::string>& NamedMapfiles() {
  static std::map<std::string, std::string> named;
  return named;
}

bool ParseNumber(const std::string& text, std::uint64_t& value) {
  if (text.empty() || text[0] == '-') return false;
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text.c_str(), &end, 0);
  return errno == 0 && end && *end == 0;
}

}  // namespace

SourceKind KindOfSource(const std::string& path) {
  if (!IsRegularFile(path)) return SourceKind::Raw;
  // The checks read the file's first bytes only.
  if (libewf_check_file_signature(path.c_str(), nullptr) == 1) return SourceKind::Ewf;
  if (libvhdi_check_file_signature(path.c_str(), nullptr) == 1) return SourceKind::Vhd;
  if (libqcow_check_file_signature(path.c_str(), nullptr) == 1) return SourceKind::Qcow;
  if (libvmdk_check_file_signature(path.c_str(), nullptr) == 1) return SourceKind::Vmdk;
  if (SplitRawParts(path).size() > 1) return SourceKind::SplitRaw;
  return SourceKind::Raw;
}

std::string SourceKindName(SourceKind kind) {
  switch (kind) {
    case SourceKind::Raw: return "raw image";
    case SourceKind::SplitRaw: return "split raw image";
    case SourceKind::Ewf: return "E01 image";
    case SourceKind::Vhd: return "VHD image";
    case SourceKind::Vmdk: return "VMDK image";
    case SourceKind::Qcow: return "QCOW2 image";
  }
  return "image";
}

std::string NotWritableInPlaceText(SourceKind kind) {
  return "This is " + std::string(kind == SourceKind::Ewf ? "an " : "a ") + SourceKindName(kind) +
         ": its sectors are stored inside the image file, not in place, so nothing can be wiped on it. "
         "Wipe the disk it was made from, or a raw copy of it.";
}

std::vector<std::string> SplitRawParts(const std::string& path) {
  std::string stem;
  std::size_t digits = 0;
  if (!NumberedPart(path, stem, digits)) return {path};
  std::vector<std::string> parts{path};
  for (unsigned n = 2; n < 100000; ++n) {
    const std::string next = PartName(stem, digits, n);
    if (!IsRegularFile(next)) break;
    parts.push_back(next);
  }
  return parts;
}

OpenResult OpenContainer(const std::string& path, SourceKind kind) {
  switch (kind) {
    case SourceKind::Ewf: return OpenWith<EwfTraits>(path);
    case SourceKind::Vhd: return OpenWith<VhdTraits>(path);
    case SourceKind::Vmdk: return OpenWith<VmdkTraits>(path);
    case SourceKind::Qcow: return OpenWith<QcowTraits>(path);
    case SourceKind::SplitRaw: {
      OpenResult result;
      auto device = std::make_shared<SplitRawDevice>();
      result.error = device->Open(SplitRawParts(path));
      if (result.error == 0) result.device = device;
      return result;
    }
    case SourceKind::Raw: break;
  }
  return OpenRawFile(path);
}

bool ReadRescueMap(const std::string& path, RescueMap& map, std::string& error) {
  std::ifstream in(path);
  if (!in) {
    error = std::strerror(errno);
    return false;
  }
  map.finished.clear();
  bool statusSeen = false;
  int lineNumber = 0;
  for (std::string line; std::getline(in, line);) {
    ++lineNumber;
    const auto hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    std::istringstream words(line);
    std::vector<std::string> w;
    for (std::string word; words >> word;) w.push_back(word);
    if (w.empty()) continue;
    if (!statusSeen) {
      // The first line is where ddrescue stood: position, status and,
      // from version 1.20, the pass.
      std::uint64_t pos = 0;
      if (w.size() < 2 || w.size() > 3 || !ParseNumber(w[0], pos) || w[1].size() != 1) {
        error = "line " + std::to_string(lineNumber) + " is not a ddrescue mapfile's status line";
        return false;
      }
      statusSeen = true;
      continue;
    }
    std::uint64_t pos = 0, size = 0;
    if (w.size() != 3 || !ParseNumber(w[0], pos) || !ParseNumber(w[1], size) || w[2].size() != 1 ||
        std::strchr("?*/-+", w[2][0]) == nullptr) {
      error = "line " + std::to_string(lineNumber) + " is not a ddrescue mapfile's block line";
      return false;
    }
    if (w[2][0] != '+' || size == 0) continue;
    const std::uint64_t end = size > ~std::uint64_t{0} - pos ? ~std::uint64_t{0} : pos + size;
    map.finished.emplace_back(pos, end);
  }
  if (!statusSeen) {
    error = "it holds no ddrescue status line";
    return false;
  }
  std::sort(map.finished.begin(), map.finished.end());
  std::vector<std::pair<std::uint64_t, std::uint64_t>> merged;
  for (const auto& r : map.finished) {
    if (!merged.empty() && r.first <= merged.back().second) {
      merged.back().second = std::max(merged.back().second, r.second);
    } else {
      merged.push_back(r);
    }
  }
  map.finished.swap(merged);
  return true;
}

void UseMapfile(const std::string& source, const std::string& mapfile) { NamedMapfiles()[source] = mapfile; }

std::string MapfileFor(const std::string& source) {
  const auto named = NamedMapfiles().find(source);
  if (named != NamedMapfiles().end()) return named->second;
  if (!IsRegularFile(source)) return {};
  std::vector<std::string> candidates{source + ".map", source + ".mapfile"};
  const auto dot = source.find_last_of('.');
  const auto slash = source.find_last_of('/');
  if (dot != std::string::npos && (slash == std::string::npos || dot > slash + 1)) {
    candidates.push_back(source.substr(0, dot) + ".map");
    candidates.push_back(source.substr(0, dot) + ".mapfile");
  }
  for (const auto& c : candidates) {
    if (IsRegularFile(c)) return c;
  }
  return {};
}

bool RescuedImageDevice::ReadAt(std::uint64_t offset, std::span<std::uint8_t> out) {
  return ReadChecked(offset, out) == 0 && offset <= Size() && Size() - offset >= out.size();
}

int RescuedImageDevice::ReadChecked(std::uint64_t offset, std::span<std::uint8_t> out) {
  const int error = inner_->ReadChecked(offset, out);
  const std::uint64_t size = Size();
  if (offset >= size) return error;
  const std::uint64_t end = std::min<std::uint64_t>(size, offset + out.size());
  // The first byte of [offset, end) that the map does not call rescued.
  std::uint64_t firstBad = offset;
  auto it = std::upper_bound(map_.finished.begin(), map_.finished.end(), std::make_pair(offset, ~std::uint64_t{0}));
  if (it != map_.finished.begin() && std::prev(it)->second > offset) firstBad = std::prev(it)->second;
  if (firstBad >= end) return error;
  std::memset(out.data() + (firstBad - offset), 0, out.size() - (firstBad - offset));
  return EIO;
}

}  // namespace ambrelic::platform
