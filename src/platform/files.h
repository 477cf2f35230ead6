// Folders and files of the restore target, the Linux way: names from a
// damaged or hostile volume never leave the chosen target, and a restore
// never appends to or replaces a file that is already there.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace ambrelic::platform {

// Longest file name a Linux file system takes, in bytes.
constexpr std::size_t kMaxNameBytes = 255;
// Longest path the kernel takes (PATH_MAX less its terminating zero): the
// deepest a restore can write on any target.
constexpr std::size_t kMaxPathBytes = 4095;
// A shortened name (FitName) leaves room within kMaxNameBytes for the
// largest number a taken name gets, " (10000)".
constexpr std::size_t kMaxFittedNameBytes = kMaxNameBytes - 8;

// A name from the volume as one safe path component: '/' and NUL become
// '_', "." and ".." (and an empty name) get a leading '_', so that joining
// it to a folder can never point outside that folder.
std::string SafePathComponent(std::string_view name);

// A name from the volume as the target can hold it: unchanged when it
// takes at most kMaxNameBytes bytes. A longer one keeps its extension (the
// text from its last '.', unless that is its first character or the
// extension passes kMaxKeptExtensionBytes), and the text before the
// extension is cut at a character boundary and followed by "~" and eight
// hexadecimal digits of a hash (FNV-1a) of the whole name, so that long
// names differing only past the cut stay apart, and one name always gives
// the same result. The shortened name takes at most kMaxFittedNameBytes.
constexpr std::size_t kMaxKeptExtensionBytes = 20;
std::string FitName(std::string_view name);

// True when something (file, folder, link) exists at path.
bool PathExists(const std::string& path);
bool IsFolder(const std::string& path);

// True when the folder exists or was created now (the last level only).
bool MakeFolder(const std::string& path);

// Makes the folder name inside parent, or uses the folder of that name
// already there; when something else (a file) holds the name, the folder
// takes "name (2)", "name (3)"... as a file would. Returns the folder's
// path, or empty text when it cannot be made (errno tells why).
std::string MakeFreeFolder(const std::string& parent, const std::string& name);

// Creates a file that did not exist before. When path is taken, tries
// "stem (2).ext", "stem (3).ext", ... (the number goes before the last
// extension). fd is -1 on failure, with errno in error.
struct NewFile {
  int fd = -1;
  std::string path;
  int error = 0;
};
NewFile CreateNewFile(const std::string& path);

// path with " (n)" before the extension of its last component:
// "dir/stem.ext" -> "dir/stem (n).ext". When that would make the name
// longer than kMaxNameBytes, the stem is cut at a character boundary.
std::string NumberedPath(const std::string& path, int n);

// Writes all of buffer at the file's current position, retrying short
// writes; false on an error (errno is kept).
bool WriteAll(int fd, const std::uint8_t* buffer, std::size_t length);

// The same loop straight to the descriptor, past any capture in force: what
// a capture itself uses to pass bytes on.
bool WriteAllDirect(int fd, const std::uint8_t* buffer, std::size_t length);

// Moves the file's position length bytes on without writing, leaving a hole
// that reads back as zeros and takes no space.
bool SkipBytes(int fd, std::uint64_t length);

// Makes the file exactly length bytes long (a hole at the end reads as
// zeros); used after SkipBytes, which by itself does not lengthen a file.
bool SetFileLength(int fd, std::uint64_t length);

// True when every '/'-separated component of path is at most kMaxNameBytes
// long (what a Linux file system takes).
bool ComponentsFit(std::string_view path);

// Bytes an unprivileged writer may still use on the file system that
// would hold path (which need not exist yet: its nearest existing folder
// above is asked). Empty when that cannot be learnt.
std::optional<std::uint64_t> FreeBytesAt(const std::string& path);

// Sets the modification time of the file or folder at path (seconds since
// 1970 UTC), leaving its access time alone; false on failure.
bool SetModificationTime(const std::string& path, std::int64_t seconds);

}  // namespace ambrelic::platform
