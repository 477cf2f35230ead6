#include "platform/file_capture.h"

#include "platform/files.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>

namespace ambrelic::platform {
namespace {

FileCapture* g_active = nullptr;

}  // namespace

FileCapture::FileCapture(std::string path, int fd, std::uint64_t limit)
    : path_(std::move(path)), fd_(fd), limit_(limit), previous_(g_active) {
  g_active = this;
}

// The engine closes the duplicate it was handed, as it closes any file it
// restored.
FileCapture::~FileCapture() { g_active = previous_; }

FileCapture* FileCapture::Active() { return g_active; }

int FileCapture::Open() {
  if (handedOut_ >= 0) {
    // One file per capture: a second one would mix two files' bytes.
    errno = EEXIST;
    return -1;
  }
  handedOut_ = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  return handedOut_;
}

bool FileCapture::Write(const std::uint8_t* buffer, std::size_t length) {
  std::size_t allowed = length;
  if (limit_ != 0) allowed = static_cast<std::size_t>(std::min<std::uint64_t>(length, limit_ - bytes_));
  if (!WriteAllDirect(handedOut_, buffer, allowed)) return false;
  bytes_ += allowed;
  if (allowed < length) {
    reachedLimit_ = true;
    errno = EFBIG;
    return false;
  }
  return true;
}

bool FileCapture::WriteZeros(std::uint64_t length) {
  static const std::uint8_t zeros[65536] = {};
  while (length > 0) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length, sizeof zeros));
    if (!Write(zeros, n)) return false;
    length -= n;
  }
  return true;
}

bool FileCapture::Extend(std::uint64_t length) {
  if (length < bytes_) {
    errno = EINVAL;
    return false;
  }
  return WriteZeros(length - bytes_);
}

}  // namespace ambrelic::platform
