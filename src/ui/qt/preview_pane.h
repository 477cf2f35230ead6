// The preview pane beside the results list: the selected row's content,
// read through the restore's own reading into memory (never into a file),
// shown as a picture (the image formats Qt has plug-ins for, and the JPEG
// preview inside a raw photo), as text (its first 64 KiB, the encoding
// guessed), or as a hex dump with the kind its first bytes name; the
// row's condition above it. Closed until the user opens it.
#pragma once

#include <QPixmap>
#include <QWidget>
#include <cstdint>
#include <string>

class QLabel;
class QPlainTextEdit;
class QStackedWidget;

namespace ambrelic::ui {
class MainDialog;
}

namespace ambrelic::ui::qt {

class PreviewPane : public QWidget {
  Q_OBJECT

 public:
  enum class Shown { Nothing, Picture, Text, Hex };

  explicit PreviewPane(QWidget* parent = nullptr);

  // Reads row `row` of the dialog's list and shows it; a folder, no row or
  // a row that cannot be read shows why.
  void ShowRow(MainDialog& dialog, int row);
  void ShowNothing(const QString& why);

  // What is shown (tests, screenshots).
  Shown WhatIsShown() const { return shown_; }
  QString HeaderText() const;
  QString BodyText() const;
  QSize PictureSize() const { return pictureSize_; }

  // Bytes read for a text or hex preview, and for a picture at most.
  static constexpr std::uint64_t kTextBytes = 64 * 1024;
  static constexpr std::uint64_t kPictureBytes = 32ull * 1024 * 1024;
  static constexpr std::uint64_t kHexBytes = 4096;
  // The longest a read may take where the engine can stop it.
  static constexpr int kReadMilliseconds = 2000;

 protected:
  void resizeEvent(QResizeEvent* event) override;

 private:
  void ShowPicture(const QImage& image);
  void FitPicture();

  QLabel* header_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QLabel* picture_ = nullptr;
  QPlainTextEdit* text_ = nullptr;
  QLabel* nothing_ = nullptr;
  QPixmap pixmap_;
  Shown shown_ = Shown::Nothing;
  QSize pictureSize_;
};

}  // namespace ambrelic::ui::qt
