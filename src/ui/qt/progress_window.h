// The progress window of long operations: caption "Ambrelic", the
// "Fichier :" label (hidden until the engine shows it) with the file-name
// line, the count label with the position counter, the percentage, the bar
// and "&Cancel". Cancel, Esc and the close box only ask for a cancel (the
// engine reads the request at its next check and closes the window itself);
// Enter does nothing.
#pragma once

#include <QDialog>
#include <functional>
#include <string>

class QLabel;
class QProgressBar;
class QPushButton;

namespace ambrelic::ui::qt {

class ProgressWindow : public QDialog {
  Q_OBJECT

 public:
  explicit ProgressWindow(std::function<void()> onCancel, QWidget* parent = nullptr);

  void ShowFileLabel();
  void SetFileName(const QString& text);
  void SetCountLabel(const QString& text);
  void SetCountText(const QString& text);
  void SetPercentText(const QString& text);
  void SetBar(int lower, int upper, int position);

  // For tests and screenshots.
  QLabel* FileLabel() const { return fileLabel_; }
  QLabel* FileNameLine() const { return fileName_; }
  QLabel* CountLabel() const { return countLabel_; }
  QLabel* CountText() const { return countText_; }
  QLabel* PercentLabel() const { return percent_; }
  QProgressBar* Bar() const { return bar_; }
  QPushButton* CancelButton() const { return cancel_; }
  const QString& FullFileName() const { return fullFileName_; }

 public slots:
  void reject() override;

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void ElideFileName();

  std::function<void()> onCancel_;
  QLabel* fileLabel_ = nullptr;
  QLabel* fileName_ = nullptr;
  QLabel* countLabel_ = nullptr;
  QLabel* countText_ = nullptr;
  QLabel* percent_ = nullptr;
  QProgressBar* bar_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QString fullFileName_;
};

}  // namespace ambrelic::ui::qt
