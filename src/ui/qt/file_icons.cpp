#include "ui/qt/file_icons.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QMimeDatabase>
#include <QStyle>

// The icon is compiled into this static library; its resource must be
// registered by hand (the linker keeps no unreferenced initialiser).
static void InitAmbrelicResources() { Q_INIT_RESOURCE(ambrelic); }

namespace ambrelic::ui::qt {

const QIcon& FileIcons::ForKey(const std::string& key) {
  if (auto it = cache_.find(key); it != cache_.end()) return it->second;
  QFileIconProvider provider;
  QIcon icon;
  if (key == "folder") {
    icon = provider.icon(QAbstractFileIconProvider::Folder);
  } else {
    const QIcon fileIcon = provider.icon(QAbstractFileIconProvider::File);
    icon = fileIcon;
    if (!key.empty()) {
      // The file need not exist: the type is told by the extension alone,
      // as the shell does for a name it is only told about.
      static const QMimeDatabase db;
      const QMimeType mime = db.mimeTypeForFile(QStringLiteral("x") + QString::fromStdString(key),
                                                QMimeDatabase::MatchExtension);
      if (mime.isValid() && !mime.isDefault()) {
        icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName(), fileIcon));
      }
    }
  }
  return cache_.emplace(key, icon).first->second;
}

QIcon DriveIcon(const platform::Drive& drive) {
  QStyle* style = QApplication::style();
  if (drive.letter == 'A' || drive.letter == 'B') {
    return QIcon::fromTheme(QStringLiteral("media-floppy"), style->standardIcon(QStyle::SP_DriveFDIcon));
  }
  if (drive.type == platform::DriveType::Removable) {
    return QIcon::fromTheme(QStringLiteral("drive-removable-media"), style->standardIcon(QStyle::SP_DriveFDIcon));
  }
  return QIcon::fromTheme(QStringLiteral("drive-harddisk"),
                          QFileIconProvider().icon(QAbstractFileIconProvider::Drive));
}

QIcon ApplicationIcon() {
  static const bool registered = (InitAmbrelicResources(), true);
  (void)registered;
  QIcon icon(QStringLiteral(":/ambrelic.svg"));
  // Without Qt's SVG icon engine the vector icon does not load; the window
  // then keeps the platform's default rather than an empty one.
  if (icon.availableSizes().isEmpty() && icon.pixmap(32, 32).isNull()) return QIcon();
  return icon;
}

}  // namespace ambrelic::ui::qt
