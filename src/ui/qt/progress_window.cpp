#include "ui/qt/progress_window.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QVBoxLayout>

#include "ui/qt/dialog_units.h"

namespace ambrelic::ui::qt {
namespace {

bool IsEnterKey(const QKeyEvent* key) { return key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter; }

}  // namespace

ProgressWindow::ProgressWindow(std::function<void()> onCancel, QWidget* parent)
    : QDialog(parent), onCancel_(std::move(onCancel)) {
  setWindowTitle(QStringLiteral("Ambrelic"));
  setObjectName(QStringLiteral("progressWindow"));
  // A modeless window of its own: it must stay usable while the main
  // window is disabled, and must not end the program when it goes.
  setAttribute(Qt::WA_QuitOnClose, false);
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);

  const DialogUnits du(font());

  fileLabel_ = new QLabel(QStringLiteral("Fichier :"), this);
  fileLabel_->setObjectName(QStringLiteral("static1015"));
  {
    // Hidden until the engine shows it, without the line moving then.
    QSizePolicy keep = fileLabel_->sizePolicy();
    keep.setRetainSizeWhenHidden(true);
    fileLabel_->setSizePolicy(keep);
  }
  fileLabel_->hide();
  fileName_ = new QLabel(this);
  fileName_->setObjectName(QStringLiteral("static1005"));
  fileName_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  fileName_->setTextFormat(Qt::PlainText);
  countLabel_ = new QLabel(this);
  countLabel_->setObjectName(QStringLiteral("static1006"));
  countText_ = new QLabel(this);
  countText_->setObjectName(QStringLiteral("static1007"));
  countText_->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  percent_ = new QLabel(QStringLiteral(" 0 %"), this);
  percent_->setObjectName(QStringLiteral("static1004"));
  percent_->setAlignment(Qt::AlignHCenter | Qt::AlignVCenter);
  bar_ = new QProgressBar(this);
  bar_->setObjectName(QStringLiteral("progress1003"));
  bar_->setRange(0, 100);
  bar_->setValue(0);
  bar_->setTextVisible(false);
  bar_->setFixedHeight(du.Y(10));
  cancel_ = new QPushButton(QStringLiteral("&Cancel"), this);
  cancel_->setObjectName(QStringLiteral("button2"));
  cancel_->setDefault(true);
  cancel_->setMinimumWidth(du.X(50));
  cancel_->installEventFilter(this);
  connect(cancel_, &QPushButton::clicked, this, [this] {
    if (onCancel_) onCancel_();
  });

  auto* lines = new QGridLayout;
  lines->setHorizontalSpacing(du.X(4));
  lines->setVerticalSpacing(du.Y(3));
  lines->addWidget(fileLabel_, 0, 0);
  lines->addWidget(fileName_, 0, 1);
  lines->addWidget(countLabel_, 1, 0);
  lines->addWidget(countText_, 1, 1);
  lines->setColumnStretch(1, 1);
  lines->setColumnMinimumWidth(0, du.X(30));

  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  buttons->addWidget(cancel_);
  buttons->addStretch(1);

  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(du.X(7), du.Y(7), du.X(7), du.Y(7));
  outer->setSpacing(du.Y(3));
  outer->addLayout(lines);
  outer->addStretch(1);
  outer->addWidget(percent_);
  outer->addWidget(bar_);
  outer->addSpacing(du.Y(3));
  outer->addLayout(buttons);

  // The designed window: 187 x 83 dialog units.
  setFixedSize(du.Size(187, 83));
}

void ProgressWindow::ShowFileLabel() {
  fileLabel_->show();
  repaint();
}

void ProgressWindow::SetFileName(const QString& text) {
  fullFileName_ = text;
  ElideFileName();
}

void ProgressWindow::ElideFileName() {
  const int width = fileName_->width() > 0 ? fileName_->width() : 200;
  fileName_->setText(fileName_->fontMetrics().elidedText(fullFileName_, Qt::ElideMiddle, width));
  fileName_->setToolTip(fullFileName_);
}

void ProgressWindow::SetCountLabel(const QString& text) { countLabel_->setText(text); }

void ProgressWindow::SetCountText(const QString& text) { countText_->setText(text); }

void ProgressWindow::SetPercentText(const QString& text) {
  if (percent_->text() != text) percent_->setText(text);
}

void ProgressWindow::SetBar(int lower, int upper, int position) {
  if (bar_->minimum() != lower || bar_->maximum() != upper) bar_->setRange(lower, upper);
  if (bar_->value() != position) bar_->setValue(position);
}

void ProgressWindow::reject() {
  // Esc: a cancel request, the window stays until the engine closes it.
  if (onCancel_) onCancel_();
}

void ProgressWindow::keyPressEvent(QKeyEvent* event) {
  if (IsEnterKey(event)) {
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void ProgressWindow::closeEvent(QCloseEvent* event) {
  event->ignore();
  if (onCancel_) onCancel_();
}

void ProgressWindow::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  ElideFileName();
}

bool ProgressWindow::eventFilter(QObject* watched, QEvent* event) {
  // The focused Cancel button would take Enter as a click; Enter does
  // nothing in this window.
  if (watched == cancel_ && event->type() == QEvent::KeyPress && IsEnterKey(static_cast<QKeyEvent*>(event))) {
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

}  // namespace ambrelic::ui::qt
