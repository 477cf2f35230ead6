#include "ui/qt/file_icons.h"

#include <QApplication>
#include <QFileIconProvider>
#include <QMimeDatabase>
#include <QStyle>

// The icon is compiled into this static library; its resource must be
// registered by hand (the linker keeps no unreferenced initialiser).
static void InitAmbrelicResources() { Q_INIT_RESOURCE(ambrelic); }

namespace ambrelic::ui::qt {

namespace {

void RegisterResources() {
  static const bool registered = (InitAmbrelicResources(), true);
  (void)registered;
}

// The icon of the program's own set for a kind of file: folder, document,
// image, audio, video, archive, or any other file.
QIcon Bundled(const char* kind) {
  RegisterResources();
  return QIcon(QStringLiteral(":/icons/") + QString::fromLatin1(kind) + QStringLiteral(".svg"));
}

// The kind of a file type, by the generic icon the shared MIME database
// names for it.
const char* KindOf(const QMimeType& mime) {
  const QString generic = mime.genericIconName();
  if (generic == QLatin1String("image-x-generic")) return "image";
  if (generic == QLatin1String("audio-x-generic")) return "audio";
  if (generic == QLatin1String("video-x-generic")) return "video";
  if (generic == QLatin1String("package-x-generic")) return "archive";
  if (generic == QLatin1String("text-x-generic") || generic.startsWith(QLatin1String("x-office-")) ||
      mime.inherits(QStringLiteral("application/pdf"))) {
    return "document";
  }
  return "file";
}

}  // namespace

const QIcon& FileIcons::ForKey(const std::string& key) {
  if (auto it = cache_.find(key); it != cache_.end()) return it->second;
  // The icon theme's picture when it has one; the program's own set
  // otherwise, so that a desktop without a theme still tells the types
  // apart.
  QIcon icon;
  if (key == "folder") {
    icon = QIcon::fromTheme(QStringLiteral("folder"), Bundled("folder"));
  } else {
    // The file need not exist: the type is told by the extension alone,
    // as the shell does for a name it is only told about.
    static const QMimeDatabase db;
    const QMimeType mime = key.empty() ? QMimeType()
                                       : db.mimeTypeForFile(QStringLiteral("x") + QString::fromStdString(key),
                                                            QMimeDatabase::MatchExtension);
    if (mime.isValid() && !mime.isDefault()) {
      icon = QIcon::fromTheme(mime.iconName(), QIcon::fromTheme(mime.genericIconName(), Bundled(KindOf(mime))));
    } else {
      icon = QIcon::fromTheme(QStringLiteral("application-octet-stream"), Bundled("file"));
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
  RegisterResources();
  QIcon icon(QStringLiteral(":/ambrelic.svg"));
  // Without Qt's SVG icon engine the vector icon does not load; the window
  // then keeps the platform's default rather than an empty one.
  if (icon.availableSizes().isEmpty() && icon.pixmap(32, 32).isNull()) return QIcon();
  return icon;
}

}  // namespace ambrelic::ui::qt
