#include "platform/files.h"

#include "platform/file_capture.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <unordered_map>

namespace ambrelic::platform {

std::string SafePathComponent(std::string_view name) {
  std::string out;
  out.reserve(name.size() + 1);
  for (char c : name) out += (c == '/' || c == '\0') ? '_' : c;
  if (out.empty() || out == "." || out == "..") out.insert(out.begin(), '_');
  return out;
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool IsFolder(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool MakeFolder(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) == 0) return true;
  return errno == EEXIST && IsFolder(path);
}

namespace {
constexpr int kMaxNumbered = 10000;

// The longest start of text that takes at most limit bytes and ends on a
// character boundary of the locale's character set (a byte that starts no
// valid character counts as one).
std::string_view CutAtCharacter(std::string_view text, std::size_t limit) {
  std::mbstate_t st{};
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t len = std::mbrlen(text.data() + at, text.size() - at, &st);
    if (len == static_cast<std::size_t>(-1) || len == static_cast<std::size_t>(-2) || len == 0) {
      st = std::mbstate_t{};
      len = 1;
    }
    if (at + len > limit) break;
    at += len;
  }
  return text.substr(0, at);
}

// Where the extension of a name starts (its last '.'), or the name's size
// when it has none; a leading dot (".profile") is no extension.
std::size_t ExtensionStart(std::string_view name) {
  const std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos || dot == 0 ? name.size() : dot;
}

std::uint32_t NameHash(std::string_view name) {
  std::uint32_t h = 2166136261u;
  for (unsigned char c : name) {
    h ^= c;
    h *= 16777619u;
  }
  return h;
}

}  // namespace

std::string FitName(std::string_view name) {
  if (name.size() <= kMaxNameBytes) return std::string(name);
  std::size_t dot = ExtensionStart(name);
  if (name.size() - dot > kMaxKeptExtensionBytes) dot = name.size();
  char mark[16];
  std::snprintf(mark, sizeof mark, "~%08X", static_cast<unsigned>(NameHash(name)));
  const std::string_view extension = name.substr(dot);
  const std::size_t room = kMaxFittedNameBytes - extension.size() - std::char_traits<char>::length(mark);
  std::string out(CutAtCharacter(name.substr(0, dot), room));
  out += mark;
  out += extension;
  return out;
}

std::string NumberedPath(const std::string& path, int n) {
  const std::size_t slash = path.rfind('/');
  const std::size_t nameStart = slash == std::string::npos ? 0 : slash + 1;
  const std::string_view name = std::string_view(path).substr(nameStart);
  const std::string number = " (" + std::to_string(n) + ")";
  std::size_t dot = ExtensionStart(name);
  // An extension that leaves no room for the number is numbered after.
  if (name.size() - dot + number.size() >= kMaxNameBytes) dot = name.size();
  std::string_view stem = name.substr(0, dot);
  const std::size_t tail = number.size() + (name.size() - dot);
  if (stem.size() + tail > kMaxNameBytes) stem = CutAtCharacter(stem, kMaxNameBytes - tail);
  return path.substr(0, nameStart) + std::string(stem) + number + std::string(name.substr(dot));
}

std::string MakeFreeFolder(const std::string& parent, const std::string& name) {
  const std::string first = parent + "/" + name;
  std::string path = first;
  for (int n = 2;; ++n) {
    if (::mkdir(path.c_str(), 0777) == 0) return path;
    if (errno != EEXIST) return std::string();
    // A folder of this name (restored before, or a second folder of one
    // name) is used again, as folders always were.
    if (IsFolder(path)) return path;
    if (n > kMaxNumbered) {
      errno = EEXIST;
      return std::string();
    }
    path = NumberedPath(first, n);
  }
}

NewFile CreateNewFile(const std::string& path) {
  // A restore written into a descriptor the caller holds: no file is made.
  if (FileCapture* capture = FileCapture::Active(); capture && capture->Path() == path) {
    NewFile captured;
    captured.path = path;
    captured.fd = capture->Open();
    captured.error = captured.fd >= 0 ? 0 : errno;
    return captured;
  }
  // The number last given to each taken name: a restore of many rows of one
  // name into one folder would otherwise try every number before each new
  // one. It is only where the search starts; O_EXCL decides.
  static thread_local std::unordered_map<std::string, int> lastNumber;
  NewFile result;
  const auto open = [&](const std::string& candidate) {
    const int fd = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    result.path = candidate;
    result.error = fd >= 0 ? 0 : errno;
    result.fd = fd;
    return fd >= 0 || errno != EEXIST;
  };
  const auto known = lastNumber.find(path);
  // A name already numbered is taken: trying it again would cost an open.
  if (known == lastNumber.end() && open(path)) return result;
  const int start = known == lastNumber.end() ? 2 : known->second + 1;
  // The count bounds the search; a folder with ten thousand same-named
  // files is not a case worth more.
  for (int n = start; n <= kMaxNumbered; ++n) {
    if (open(NumberedPath(path, n))) {
      if (result.fd >= 0) lastNumber[path] = n;
      return result;
    }
  }
  // The name itself and numbers below the remembered one may have been
  // freed since.
  if (known != lastNumber.end() && open(path)) return result;
  for (int n = 2; n < start && n <= kMaxNumbered; ++n) {
    if (open(NumberedPath(path, n))) return result;
  }
  result.fd = -1;
  result.error = EEXIST;
  result.path = path;
  return result;
}

bool WriteAll(int fd, const std::uint8_t* buffer, std::size_t length) {
  if (FileCapture* capture = FileCapture::Active(); capture && capture->Owns(fd)) {
    return capture->Write(buffer, length);
  }
  return WriteAllDirect(fd, buffer, length);
}

bool WriteAllDirect(int fd, const std::uint8_t* buffer, std::size_t length) {
  std::size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(fd, buffer + done, length - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = ENOSPC;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool SkipBytes(int fd, std::uint64_t length) {
  if (FileCapture* capture = FileCapture::Active(); capture && capture->Owns(fd)) {
    return capture->WriteZeros(length);
  }
  if (length > static_cast<std::uint64_t>(INT64_MAX)) return false;
  return ::lseek(fd, static_cast<off_t>(length), SEEK_CUR) >= 0;
}

bool SetFileLength(int fd, std::uint64_t length) {
  if (FileCapture* capture = FileCapture::Active(); capture && capture->Owns(fd)) {
    return capture->Extend(length);
  }
  if (length > static_cast<std::uint64_t>(INT64_MAX)) return false;
  int rc;
  do {
    rc = ::ftruncate(fd, static_cast<off_t>(length));
  } while (rc != 0 && errno == EINTR);
  return rc == 0;
}

bool ComponentsFit(std::string_view path) {
  std::size_t start = 0;
  while (start <= path.size()) {
    std::size_t slash = path.find('/', start);
    if (slash == std::string_view::npos) slash = path.size();
    if (slash - start > kMaxNameBytes) return false;
    start = slash + 1;
  }
  return true;
}

std::optional<std::uint64_t> FreeBytesAt(const std::string& path) {
  std::string at = path.empty() ? std::string(".") : path;
  // Climbs one name at a time; the path's length bounds the climb.
  while (!PathExists(at)) {
    while (at.size() > 1 && at.back() == '/') at.pop_back();
    const auto slash = at.rfind('/');
    if (slash == std::string::npos) {
      at = ".";
      break;
    }
    at = slash == 0 ? std::string("/") : at.substr(0, slash);
  }
  struct statvfs vfs {};
  if (::statvfs(at.c_str(), &vfs) != 0) return std::nullopt;
  return static_cast<std::uint64_t>(vfs.f_bavail) * vfs.f_frsize;
}

bool SetModificationTime(const std::string& path, std::int64_t seconds) {
  struct timespec times[2] {};
  times[0].tv_nsec = UTIME_OMIT;
  times[1].tv_sec = static_cast<time_t>(seconds);
  return ::utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

}  // namespace ambrelic::platform
