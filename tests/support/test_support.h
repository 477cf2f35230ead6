// Shared helpers of the test suites: fixture images made by real tools,
// commands of the oracle tools, temporary folders, and an engine host that
// records what the engines report.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "disk/sinks.h"

namespace ambrelic::test {

// Runs fixtures/<script> once per build tree (serialised with a lock, as
// ctest runs suites in parallel) and returns the path of <name> inside the
// fixture folder it filled. Fails the test when the image is not there.
std::string FixtureImage(const std::string& script, const std::string& name);

// Path of a bundled sample, decompressed into the fixture folder.
std::string SampleImage(const std::string& name);

// Runs a shell command and returns its standard output; *status gets the
// exit status when asked for.
std::string RunCommand(const std::string& command, int* status = nullptr);

// Runs a built program with args (shell words), standard input from
// /dev/null and standard error captured apart from standard output.
struct ProgramRun {
  int status = -1;
  std::string out, err;
};
ProgramRun RunProgram(const std::string& binary, const std::string& args);

std::vector<std::uint8_t> ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes);
std::string Sha256Of(const std::string& path);

// A fresh empty folder under the build tree, removed at exit of the suite.
std::string MakeTempDir(const std::string& tag);

// Sets LC_ALL to C.UTF-8 for the process (what the program does at start).
void UseUtf8Locale();

// An image served as a read-only file by nbdfuse, from nbdkit's file
// plugin through its ddrescue filter (the bad ranges, given as byte offset
// and length, multiples of 4 KiB) and its error filter: reads that touch a
// bad range fail with EIO, as they do on a failing disk, and after Die()
// every read does. Unmounted (and the servers ended) when destroyed; every
// file opened on path() must be closed by then.
class EioImage {
 public:
  EioImage(const std::string& image, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& badRanges);
  ~EioImage();
  EioImage(const EioImage&) = delete;
  EioImage& operator=(const EioImage&) = delete;
  bool ok() const { return ok_; }
  const std::string& path() const { return path_; }
  void Die();

 private:
  std::string dir_, mount_, path_, trigger_;
  int pid_ = -1;
  bool ok_ = false;
};

// Records a progress dialog's calls.
struct ProgressLog {
  std::string label;
  std::uint64_t total = 0;
  bool fileLabelShown = false;
  std::vector<std::string> fileNames;
  std::vector<std::uint64_t> positions;
  int cancelChecks = 0;
  bool closed = false;
};

// An EngineHost that keeps rows, messages and questions in order, answers
// questions from a script (default No) and can cancel after a number of
// progress calls.
class RecordingHost : public disk::EngineHost {
 public:
  std::unique_ptr<disk::ProgressSink> OpenProgress() override;
  void AddRow(disk::FoundRow row) override;
  void ShowMessage(const std::string& text) override;
  bool AskYesNo(const std::string& text, bool stopIcon) override;
  void UnreadableIn(const std::string& path) override { unreadableFiles.push_back(path); }

  std::vector<disk::FoundRow> rows;
  std::vector<std::string> unreadableFiles;  // as told by UnreadableIn, in order
  std::vector<std::string> events;        // "message: ...", "question: ...", "progress open"
  std::deque<bool> answers;               // answers to the next questions; No when empty
  long cancelAfterChecks = -1;            // cancel when this many cancel checks were made
  // The engines' own cancel question (asked where no progress window is):
  // answered yes from the check after this many on.
  bool CancelRequested() override;
  long cancelRestoreAfterChecks = -1;
  long restoreCancelChecks = 0;
  std::vector<std::shared_ptr<ProgressLog>> progress;
  long cancelChecks = 0;                  // across all progress dialogs
};

}  // namespace ambrelic::test
