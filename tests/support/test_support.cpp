#include "support/test_support.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

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
  const std::string source = std::string(AMBRELIC_FIXTURE_SCRIPTS) + "/" + script;
  // A script changed since its images were made (a merge, an edit) makes
  // them again: a stale image would test the old fixture.
  std::error_code ec;
  if (!fs::exists(stamp) || fs::last_write_time(source, ec) > fs::last_write_time(stamp, ec)) {
    // flock serialises the parallel suites; the script itself is idempotent.
    const std::string cmd = "flock '" + dir + "/.lock' sh -c 'test \"" + stamp + "\" -nt \"" + source +
                            "\" || (bash \"" + source + "\" '" + dir + "' >'" + dir + "/" + script +
                            ".log' 2>&1 && touch \"" + stamp + "\")'";
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
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return {};
  // In one piece: images of a hundred megabytes are read too.
  std::vector<std::uint8_t> bytes(static_cast<std::size_t>(in.tellg()));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  bytes.resize(static_cast<std::size_t>(in.gcount()));
  return bytes;
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

EioImage::EioImage(const std::string& image, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& badRanges) {
  dir_ = MakeTempDir("eio");
  mount_ = dir_ + "/mnt";
  path_ = mount_ + "/disk";
  trigger_ = dir_ + "/dead";
  fs::create_directories(mount_);
  const std::uint64_t size = fs::file_size(image);
  // A mapfile of GNU ddrescue: '+' rescued, '-' bad.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> bad = badRanges;
  std::sort(bad.begin(), bad.end());
  std::ofstream map(dir_ + "/bad.map");
  map << "# Mapfile. Created by GNU ddrescue\n0x0 +\n";
  std::uint64_t at = 0;
  auto line = [&](std::uint64_t from, std::uint64_t to, char status) {
    if (to > from) map << "0x" << std::hex << from << " 0x" << (to - from) << std::dec << ' ' << status << '\n';
  };
  for (const auto& [offset, length] : bad) {
    const std::uint64_t begin = std::max(offset, at);
    const std::uint64_t end = std::min(offset + length, size);
    if (end <= begin) continue;
    line(at, begin, '+');
    line(begin, end, '-');
    at = end;
  }
  line(at, size, '+');
  map.close();

  const std::vector<std::string> args = {"nbdfuse", "-r", path_, "[", "nbdkit", "--exit-with-parent",
                                         "--filter=error", "--filter=ddrescue", "file", "file=" + image,
                                         "ddrescue-mapfile=" + dir_ + "/bad.map", "error-pread-rate=100%",
                                         "error-pread-file=" + trigger_, "]"};
  const pid_t pid = ::fork();
  if (pid == 0) {
    const int log = ::open((dir_ + "/log").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (log >= 0) {
      ::dup2(log, 1);
      ::dup2(log, 2);
    }
    std::vector<char*> argv;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execvp(argv[0], argv.data());
    ::_exit(127);
  }
  pid_ = pid;
  for (int i = 0; i < 200 && pid_ > 0; ++i) {
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && static_cast<std::uint64_t>(st.st_size) == size) {
      ok_ = true;
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(ok_) << "nbdfuse did not serve " << image << "; see " << dir_ << "/log";
}

EioImage::~EioImage() {
  if (pid_ <= 0) return;
  int rc = 0;
  RunCommand("fusermount3 -u '" + mount_ + "' 2>/dev/null || fusermount3 -uz '" + mount_ + "' 2>/dev/null", &rc);
  // nbdfuse ends once unmounted, and nbdkit with it.
  for (int i = 0; i < 100; ++i) {
    if (::waitpid(pid_, nullptr, WNOHANG) == pid_) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  ::kill(pid_, SIGTERM);
  ::waitpid(pid_, nullptr, 0);
}

void EioImage::Die() { std::ofstream(trigger_) << "dead\n"; }

void UseUtf8Locale() {
  ::setenv("LC_ALL", "C.UTF-8", 1);
  std::setlocale(LC_ALL, "C.UTF-8");
}

}  // namespace ambrelic::test
