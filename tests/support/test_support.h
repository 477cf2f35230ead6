// Shared helpers of the test suites: fixture images made by real tools,
// commands of the oracle tools, temporary folders, and an engine host that
// records what the engines report.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
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

  std::vector<disk::FoundRow> rows;
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
