#include "support/test_support.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace ambrelic::test {
namespace fs = std::filesystem;

namespace {

class RecordingProgress : public disk::ProgressSink {
 public:
  RecordingProgress(RecordingHost& host, std::shared_ptr<ProgressLog> log) : host_(host), log_(std::move(log)) {}
  ~RecordingProgress() override { log_->closed = true; }
  void BeginCount(const std::string& label, std::uint64_t total) override {
    log_->label = label;
    log_->total = total;
  }
  void ShowFileLabel() override { log_->fileLabelShown = true; }
  void SetFileName(const std::string& text) override { log_->fileNames.push_back(text); }
  bool Advance(std::uint64_t position) override {
    log_->positions.push_back(position);
    return !Cancelled();
  }
  bool TakeCancelRequest() override { return Cancelled(); }

 private:
  bool Cancelled() {
    ++log_->cancelChecks;
    ++host_.cancelChecks;
    return host_.cancelAfterChecks >= 0 && host_.cancelChecks > host_.cancelAfterChecks &&
           host_.cancelChecks == host_.cancelAfterChecks + 1;
  }
  RecordingHost& host_;
  std::shared_ptr<ProgressLog> log_;
};

}  // namespace

std::unique_ptr<disk::ProgressSink> RecordingHost::OpenProgress() {
  auto log = std::make_shared<ProgressLog>();
  progress.push_back(log);
  events.push_back("progress open");
  return std::make_unique<RecordingProgress>(*this, log);
}

void RecordingHost::AddRow(disk::FoundRow row) {
  rows.push_back(row);
  if (!progress.empty() && !progress.back()->closed) progress.back()->fileNames.push_back(row.name);
}

void RecordingHost::ShowMessage(const std::string& text) { events.push_back("message: " + text); }

bool RecordingHost::CancelRequested() {
  ++restoreCancelChecks;
  return cancelRestoreAfterChecks >= 0 && restoreCancelChecks > cancelRestoreAfterChecks;
}

bool RecordingHost::AskYesNo(const std::string& text, bool stopIcon) {
  events.push_back(std::string(stopIcon ? "question(stop): " : "question: ") + text);
  if (answers.empty()) return false;
  bool a = answers.front();
  answers.pop_front();
  return a;
}

std::string RunCommand(const std::string& command, int* status) {
  std::string out;
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) {
    if (status) *status = -1;
    return out;
  }
  std::array<char, 65536> buf;
  std::size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), p)) > 0) out.append(buf.data(), n);
  int rc = ::pclose(p);
  if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

ProgramRun RunProgram(const std::string& binary, const std::string& args) {
  const std::string dir = MakeTempDir("run");
  ProgramRun r;
  r.out = RunCommand("'" + binary + "' " + args + " 2>'" + dir + "/err' </dev/null", &r.status);
  const auto bytes = ReadFileBytes(dir + "/err");
  r.err.assign(bytes.begin(), bytes.end());
  return r;
}

std::string FixtureImage(const std::string& script, const std::string& name) {
  const std::string dir = AMBRELIC_FIXTURE_DIR;
  fs::create_directories(dir);
  const std::string stamp = dir + "/." + script + ".done";
  if (!fs::exists(stamp)) {
    // flock serialises the parallel suites; the script itself is idempotent.
    const std::string cmd = "flock '" + dir + "/.lock' sh -c 'test -e \"" + stamp + "\" || (bash '" +
                            std::string(AMBRELIC_FIXTURE_SCRIPTS) + "/" + script + "' '" + dir +
                            "' >'" + dir + "/" + script + ".log' 2>&1 && touch \"" + stamp + "\")'";
    int rc = 0;
    RunCommand(cmd, &rc);
    EXPECT_EQ(rc, 0) << "fixture script " << script << " failed; see " << dir << "/" << script << ".log";
  }
  const std::string path = dir + "/" + name;
  EXPECT_TRUE(fs::exists(path)) << "fixture image missing: " << path;
  return path;
}

std::string SampleImage(const std::string& name) {
  const std::string dir = std::string(AMBRELIC_FIXTURE_DIR) + "/samples";
  fs::create_directories(dir);
  const std::string path = dir + "/" + name;
  if (!fs::exists(path)) {
    const std::string gz = std::string(AMBRELIC_SAMPLES_DIR) + "/" + name + ".gz";
    const std::string tmp = path + ".tmp" + std::to_string(::getpid());
    int rc = 0;
    RunCommand("gzip -dc '" + gz + "' > '" + tmp + "' && mv -f '" + tmp + "' '" + path + "'", &rc);
    EXPECT_EQ(rc, 0) << "cannot decompress " << gz;
  }
  return path;
}

std::vector<std::uint8_t> ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

void WriteFileBytes(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::string Sha256Of(const std::string& path) {
  std::string out = RunCommand("sha256sum '" + path + "'");
  return out.substr(0, out.find(' '));
}

std::string MakeTempDir(const std::string& tag) {
  const std::string base = std::string(AMBRELIC_FIXTURE_DIR) + "/tmp";
  fs::create_directories(base);
  std::string templ = base + "/" + tag + "-XXXXXX";
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back(0);
  char* made = ::mkdtemp(buf.data());
  EXPECT_NE(made, nullptr);
  return made ? std::string(made) : base;
}

void UseUtf8Locale() {
  ::setenv("LC_ALL", "C.UTF-8", 1);
  std::setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace ambrelic::test
