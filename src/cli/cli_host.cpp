#include "cli/cli_host.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>

#include "platform/text.h"

namespace ambrelic::cli {
namespace {

// The signal (SIGINT or SIGTERM) waiting to be taken as a cancel, and the
// one last taken.
volatile std::sig_atomic_t g_interrupted = 0;
volatile std::sig_atomic_t g_taken = 0;

void OnInterrupt(int signal) {
  if (g_interrupted) {
    // The first one was never taken (no progress window was open to read
    // it): the user wants out.
    ::_exit(128 + signal);
  }
  g_interrupted = signal;
}

void WriteStderr(const std::string& text) {
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

int TerminalWidth() {
  winsize ws {};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col >= 20) return ws.ws_col;
  return 80;
}

// Cuts locale text to at most n characters (whole characters only).
std::string FitChars(const std::string& text, std::size_t n) {
  if (platform::CharCount(text) <= n) return text;
  std::string out;
  std::mbstate_t state {};
  std::size_t i = 0, chars = 0;
  while (i < text.size() && chars < n) {
    std::size_t len = std::mbrlen(text.data() + i, text.size() - i, &state);
    if (len == 0 || len > text.size() - i) len = 1;  // invalid or cut: one byte
    out.append(text, i, len);
    i += len;
    ++chars;
  }
  return out;
}

}  // namespace

void InstallInterruptHandler() {
  struct sigaction sa {};
  sa.sa_handler = OnInterrupt;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no SA_RESTART: a prompt's read returns on Ctrl-C
  ::sigaction(SIGINT, &sa, nullptr);
  ::sigaction(SIGTERM, &sa, nullptr);
}

bool TakeInterrupt() {
  if (!g_interrupted) return false;
  g_taken = g_interrupted;
  g_interrupted = 0;
  return true;
}

int InterruptStatus() { return g_taken != 0 ? 128 + g_taken : 0; }

// The progress window as one line on stderr: bar, percentage, counter and
// file name, redrawn in place.
class TerminalProgressView : public ui::ProgressView {
 public:
  explicit TerminalProgressView(CliHost& host) : host_(host) {}
  ~TerminalProgressView() override { Close(); }

  void SetFileName(const std::string& text) override {
    fileName_ = text;
    Draw(false);
  }
  void SetCountText(const std::string& text) override {
    count_ = text;
    Draw(false);
  }
  void SetPercentText(const std::string& text) override {
    percent_ = text;
    Draw(true);
  }
  void SetBar(int lower, int upper, int position) override {
    lower_ = lower;
    upper_ = upper;
    position_ = position;
  }
  void Close() override {
    if (closed_) return;
    closed_ = true;
    if (drawn_) WriteStderr("\r\033[K");
    host_.ViewClosed(this);
  }
  // Removes the line so that a message can be printed.
  void Erase() {
    if (drawn_) WriteStderr("\r\033[K");
    drawn_ = false;
  }

 private:
  void Draw(bool force) {
    if (closed_) return;
    // Redrawing for every record or cluster would cost more than the work.
    const auto now = std::chrono::steady_clock::now();
    if (!force && drawn_ && now - lastDraw_ < std::chrono::milliseconds(80)) return;
    lastDraw_ = now;
    constexpr int kBar = 20;
    const int span = upper_ - lower_;
    const int filled = span > 0 ? (position_ - lower_) * kBar / span : 0;
    std::string line = "[";
    for (int i = 0; i < kBar; ++i) line += i < filled ? '#' : '.';
    line += "] ";
    line += percent_;
    if (!count_.empty()) line += "  " + count_;
    if (!fileName_.empty()) line += "  " + fileName_;
    line = FitChars(line, static_cast<std::size_t>(TerminalWidth() - 1));
    WriteStderr("\r" + line + "\033[K");
    drawn_ = true;
  }

  CliHost& host_;
  std::string fileName_, count_, percent_ = " 0 %";
  int lower_ = 0, upper_ = 100, position_ = 0;
  bool drawn_ = false;
  bool closed_ = false;
  std::chrono::steady_clock::time_point lastDraw_{};
};

CliHost::CliHost(bool quiet, std::map<disk::QuestionId, bool> answers)
    : quiet_(quiet), answers_(std::move(answers)) {
  terminal_ = ::isatty(STDERR_FILENO) == 1;
}

CliHost::~CliHost() = default;

void CliHost::ViewClosed(TerminalProgressView* view) {
  if (activeView_ == view) activeView_ = nullptr;
}

std::unique_ptr<ui::ProgressView> CliHost::CreateProgressView() {
  if (quiet_ || !terminal_) return std::make_unique<ui::NullProgressView>();
  auto view = std::make_unique<TerminalProgressView>(*this);
  activeView_ = view.get();
  return view;
}

bool CliHost::PumpMessages() { return TakeInterrupt(); }

std::optional<std::string> CliHost::AskSaveAs(const std::string&, const std::string&, const std::string&) {
  std::optional<std::string> answer;
  answer.swap(saveAsAnswer_);
  return answer;
}

std::optional<ui::Answer> CliHost::Prompt(const ui::MessageRequest& m) {
  if (!terminal_) return std::nullopt;
  const int fd = ::open("/dev/tty", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  const bool yesNo = m.buttons == ui::Buttons::YesNo;
  WriteStderr(yesNo ? "[y/N] " : "[r/C] ");
  std::string line;
  char c;
  bool endOfLine = false;
  while (true) {
    const ssize_t n = ::read(fd, &c, 1);
    if (n <= 0) {
      // End of input, or Ctrl-C: the default answer. The Ctrl-C answered
      // this box; it must not cancel the next walk as well.
      if (n < 0 && errno == EINTR) {
        const std::sig_atomic_t before = g_taken;
        TakeInterrupt();
        g_taken = before;
      }
      break;
    }
    if (c == '\n') {
      endOfLine = true;
      break;
    }
    if (line.size() < 64) line.push_back(c);
  }
  ::close(fd);
  // The terminal echoed the user's Enter; otherwise end the prompt's line.
  if (!endOfLine) WriteStderr("\n");
  const char first = line.empty() ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(line[0])));
  if (yesNo) return first == 'y' ? ui::Answer::Yes : ui::Answer::No;
  return first == 'r' ? ui::Answer::Retry : ui::Answer::Cancel;
}

std::string CliHost::FileMessageText(const std::string& path, const std::string& text) {
  return "ambrelic-cli: " + path + ": " + text;
}

ui::Answer CliHost::ShowMessage(const ui::MessageRequest& m) {
  if (activeView_) activeView_->Erase();
  if (m.buttons == ui::Buttons::Ok) {
    WriteStderr(m.text + "\n");
    return ui::Answer::Ok;
  }
  if (m.buttons == ui::Buttons::YesNo) {
    const auto flagged = answers_.find(m.question);
    if (flagged != answers_.end()) {
      // A question the command line already answered is only shown, and
      // --quiet does not show it.
      if (!quiet_) WriteStderr(m.text + "\n");
      return flagged->second ? ui::Answer::Yes : ui::Answer::No;
    }
  }
  // --quiet asks nothing: a question no flag answered takes its default.
  if (quiet_) return m.buttons == ui::Buttons::YesNo ? ui::DefaultAnswer(m) : ui::Answer::Cancel;
  WriteStderr(m.text + (terminal_ ? " " : "\n"));
  if (const auto answer = Prompt(m)) return *answer;
  if (terminal_) WriteStderr("\n");
  // Without a terminal: the default button of a question (No), Cancel to a disk
  // check (its Retry, the box's default, would ask again for ever).
  return m.buttons == ui::Buttons::YesNo ? ui::DefaultAnswer(m) : ui::Answer::Cancel;
}

}  // namespace ambrelic::cli
