// Dialog units: the window layouts are designed in them, so that they scale
// with the font the way the designed dialog templates do. A horizontal unit
// is a quarter of the font's average character width, a vertical one an
// eighth of its height.
#pragma once

#include <QFont>
#include <QFontMetrics>
#include <QSize>

namespace ambrelic::ui::qt {

class DialogUnits {
 public:
  explicit DialogUnits(const QFont& font) {
    const QFontMetrics fm(font);
    // The average over the Latin letters, rounded, as the dialog manager
    // measures its base unit.
    const int letters = fm.horizontalAdvance(
        QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    charWidth_ = std::max(1, (letters / 26 + 1) / 2);
    charHeight_ = std::max(1, fm.height());
  }

  int X(int dlu) const { return (dlu * charWidth_ + 2) / 4; }
  int Y(int dlu) const { return (dlu * charHeight_ + 4) / 8; }
  QSize Size(int cx, int cy) const { return QSize(X(cx), Y(cy)); }
  int CharWidth() const { return charWidth_; }
  int CharHeight() const { return charHeight_; }

 private:
  int charWidth_ = 1;
  int charHeight_ = 1;
};

}  // namespace ambrelic::ui::qt
