#include "ui/qt/preview_pane.h"

#include <sys/mman.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFontDatabase>
#include <QImage>
#include <QLabel>
#include <QLocale>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QStackedWidget>
#include <QVBoxLayout>
#include <memory>

#include "ui/list_writers.h"
#include "ui/main_dialog.h"
#include "ui/preview_content.h"

namespace ambrelic::ui::qt {
namespace {

// The engines' side of a preview: nothing is asked, nothing shown; what
// they would say is kept for the pane, and a read that takes too long is
// stopped where the engine checks.
class PreviewHost final : public disk::EngineHost {
 public:
  PreviewHost() { clock_.start(); }
  std::unique_ptr<disk::ProgressSink> OpenProgress() override { return std::make_unique<SilentProgress>(); }
  void AddRow(disk::FoundRow) override {}
  void ShowMessage(const std::string& text) override { said += text + "\n"; }
  bool AskYesNo(const std::string&, bool) override { return false; }
  void ShowFileMessage(const std::string& path, const std::string& text) override { said += path + ": " + text + "\n"; }
  bool CancelRequested() override { return clock_.elapsed() > PreviewPane::kReadMilliseconds; }
  bool TimedOut() const { return clock_.elapsed() > PreviewPane::kReadMilliseconds; }

  std::string said;

 private:
  class SilentProgress final : public disk::ProgressSink {
   public:
    void BeginCount(const std::string&, std::uint64_t) override {}
    void ShowFileLabel() override {}
    void SetFileName(const std::string&) override {}
    bool Advance(std::uint64_t) override { return true; }
    bool TakeCancelRequest() override { return false; }
  };
  QElapsedTimer clock_;
};

// Memory that holds the bytes read: anonymous, in no file system.
class MemoryFile {
 public:
  MemoryFile() : fd_(::memfd_create("ambrelic-preview", MFD_CLOEXEC)) {}
  ~MemoryFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  int fd() const { return fd_; }
  std::string Bytes(std::uint64_t count) const {
    std::string bytes(static_cast<std::size_t>(count), '\0');
    const ssize_t n = ::pread(fd_, bytes.data(), bytes.size(), 0);
    bytes.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return bytes;
  }

 private:
  int fd_;
};

QString SizeText(std::uint64_t bytes) {
  return QLocale::system().toString(static_cast<qulonglong>(bytes)) + QStringLiteral(" bytes");
}

}  // namespace

PreviewPane::PreviewPane(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("preview"));
  header_ = new QLabel(this);
  header_->setObjectName(QStringLiteral("previewHeader"));
  header_->setWordWrap(true);
  header_->setTextFormat(Qt::PlainText);
  header_->setTextInteractionFlags(Qt::TextSelectableByMouse);
  stack_ = new QStackedWidget(this);
  picture_ = new QLabel(stack_);
  picture_->setObjectName(QStringLiteral("previewPicture"));
  picture_->setAlignment(Qt::AlignCenter);
  picture_->setMinimumSize(1, 1);
  picture_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Ignored);
  text_ = new QPlainTextEdit(stack_);
  text_->setObjectName(QStringLiteral("previewText"));
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  nothing_ = new QLabel(stack_);
  nothing_->setAlignment(Qt::AlignCenter);
  nothing_->setWordWrap(true);
  stack_->addWidget(nothing_);
  stack_->addWidget(picture_);
  stack_->addWidget(text_);
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->addWidget(header_);
  layout->addWidget(stack_, 1);
  ShowNothing(QStringLiteral("Select a file to preview it."));
}

QString PreviewPane::HeaderText() const { return header_->text(); }

QString PreviewPane::BodyText() const {
  if (shown_ == Shown::Text || shown_ == Shown::Hex) return text_->toPlainText();
  if (shown_ == Shown::Nothing) return nothing_->text();
  return QString();
}

void PreviewPane::ShowNothing(const QString& why) {
  shown_ = Shown::Nothing;
  pictureSize_ = QSize();
  header_->clear();
  nothing_->setText(why);
  stack_->setCurrentWidget(nothing_);
}

void PreviewPane::ShowRow(MainDialog& dialog, int row) {
  const ResultsList& list = dialog.List();
  if (row < 0 || row >= list.RowCount()) {
    ShowNothing(QStringLiteral("Select a file to preview it."));
    return;
  }
  const disk::RowFacts facts = list.Facts(row);
  QString header = QString::fromStdString(list.CellText(row, 0)) + QLatin1Char('\n') +
                   QString::fromStdString(ConditionCell(facts.condition)) + QStringLiteral(" - ") +
                   QString::fromStdString(disk::ConditionText(facts.condition));
  if (list.IsFolder(row)) {
    ShowNothing(QStringLiteral("A folder: restore it to see what it holds."));
    header_->setText(header);
    return;
  }
  const std::uint64_t size = facts.size;
  // The first bytes say what the file is; a picture is then read further.
  MemoryFile memory;
  PreviewHost quiet;
  if (memory.fd() < 0) {
    ShowNothing(QStringLiteral("No memory for the preview."));
    return;
  }
  MainDialog::RowBytes read = dialog.ReadRowBytes(row, memory.fd(), kTextBytes, quiet);
  std::string bytes = memory.Bytes(read.bytes);
  std::string kind = KindFromBytes(bytes);
  const bool pictureKind = kind.find("image") != std::string::npos || kind.find("raw photo") != std::string::npos;
  if (read.read && read.limited && pictureKind) {
    MemoryFile more;
    PreviewHost patient;
    read = dialog.ReadRowBytes(row, more.fd(), kPictureBytes, patient);
    bytes = more.Bytes(read.bytes);
    quiet.said += patient.said;
  }
  if (!read.read) {
    ShowNothing(QStringLiteral("The row could not be read.\n") + QString::fromStdString(quiet.said));
    header_->setText(header);
    return;
  }
  header += QLatin1Char('\n') + SizeText(size);
  if (!kind.empty()) header += QStringLiteral(", ") + QString::fromStdString(kind);
  if (read.unreadable) header += QStringLiteral("\nSome sectors could not be read: zeros stand in for them.");
  if (!read.whole && !read.limited) header += QStringLiteral("\nOnly ") + SizeText(read.bytes) + QStringLiteral(" could be read.");

  QImage image;
  if (pictureKind) {
    image.loadFromData(reinterpret_cast<const uchar*>(bytes.data()), static_cast<int>(bytes.size()));
    if (image.isNull()) {
      const std::string_view embedded = EmbeddedJpeg(bytes);
      if (!embedded.empty() &&
          image.loadFromData(reinterpret_cast<const uchar*>(embedded.data()), static_cast<int>(embedded.size()))) {
        header += QStringLiteral("\nThe preview the photo carries inside it.");
      }
    }
  }
  if (!image.isNull()) {
    header += QStringLiteral("\n%1 x %2 pixels").arg(image.width()).arg(image.height());
    header_->setText(header);
    ShowPicture(image);
    return;
  }
  const std::string_view start(bytes.data(), std::min<std::size_t>(bytes.size(), kTextBytes));
  const TextEncoding encoding = kind.empty() || kind.find("document") != std::string::npos
                                    ? GuessTextEncoding(start)
                                    : TextEncoding::None;
  if (encoding != TextEncoding::None) {
    header += QStringLiteral(", text (") + QString::fromLatin1(EncodingName(encoding)) + QLatin1Char(')');
    if (size > start.size()) header += QStringLiteral(", the first ") + SizeText(start.size());
    header_->setText(header);
    shown_ = Shown::Text;
    text_->setFont(QFont());
    text_->setPlainText(QString::fromStdString(TextAsUtf8(start, encoding)));
    stack_->setCurrentWidget(text_);
    return;
  }
  if (size > kHexBytes) header += QStringLiteral(", the first ") + SizeText(kHexBytes) + QStringLiteral(" in hex");
  header_->setText(header);
  shown_ = Shown::Hex;
  text_->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  text_->setPlainText(QString::fromStdString(HexDump(bytes, kHexBytes)));
  stack_->setCurrentWidget(text_);
}

void PreviewPane::ShowPicture(const QImage& image) {
  shown_ = Shown::Picture;
  pictureSize_ = image.size();
  pixmap_ = QPixmap::fromImage(image);
  stack_->setCurrentWidget(picture_);
  FitPicture();
}

void PreviewPane::FitPicture() {
  if (shown_ != Shown::Picture || pixmap_.isNull()) return;
  const QSize room = picture_->size();
  // Never enlarged: a small image shows at its own size.
  if (pixmap_.width() <= room.width() && pixmap_.height() <= room.height()) {
    picture_->setPixmap(pixmap_);
  } else {
    picture_->setPixmap(pixmap_.scaled(room, Qt::KeepAspectRatio, Qt::SmoothTransformation));
  }
}

void PreviewPane::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  FitPicture();
}

}  // namespace ambrelic::ui::qt
