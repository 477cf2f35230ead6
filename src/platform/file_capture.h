// A restore that writes into a descriptor the caller holds (standard
// output, a block of memory) instead of a new file. The engines create the
// file they restore by its path; while a FileCapture is alive, creating a
// new file at exactly its path opens nothing and hands out a duplicate of
// the caller's descriptor, and the file's holes and length are written as
// zeros in order, so that the bytes arrive as one stream (a pipe or a
// terminal cannot seek). A limit stops the stream: the write that would go
// past it fails, and the engine stops as at a full disk.
#pragma once

#include <cstdint>
#include <string>

namespace ambrelic::platform {

class FileCapture {
 public:
  // limit 0: no limit.
  FileCapture(std::string path, int fd, std::uint64_t limit = 0);
  ~FileCapture();
  FileCapture(const FileCapture&) = delete;
  FileCapture& operator=(const FileCapture&) = delete;

  // Bytes delivered so far (written, or holes written as zeros).
  std::uint64_t Bytes() const { return bytes_; }
  // A write went past the limit (the stream holds the first `limit`
  // bytes).
  bool ReachedLimit() const { return reachedLimit_; }

  // For files.cpp: the active capture, if any.
  static FileCapture* Active();
  const std::string& Path() const { return path_; }
  // A duplicate of the caller's descriptor for the engine (-1 on failure).
  int Open();
  bool Owns(int fd) const { return fd >= 0 && fd == handedOut_; }
  // Writes through the limit; false (errno EFBIG) past it.
  bool Write(const std::uint8_t* buffer, std::size_t length);
  bool WriteZeros(std::uint64_t length);
  // The stream made `length` bytes long: zeros up to it; false when it is
  // already longer (a stream cannot shrink).
  bool Extend(std::uint64_t length);

 private:
  std::string path_;
  int fd_;
  int handedOut_ = -1;
  std::uint64_t limit_;
  std::uint64_t bytes_ = 0;
  bool reachedLimit_ = false;
  FileCapture* previous_;
};

}  // namespace ambrelic::platform
