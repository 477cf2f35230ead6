// Icons of the window: one per results-list icon key (a folder, or a file
// extension), the drive icons of the combo and the application icon. Keys
// are looked up once and cached, so a list of a million rows asks the icon
// theme only once per extension.
#pragma once

#include <QIcon>
#include <string>
#include <unordered_map>

#include "platform/drives.h"

namespace ambrelic::ui::qt {

class FileIcons {
 public:
  // key: "folder", an extension with its dot in lower case (".txt"), or
  // empty for a name without one (the ResultsList's icon key).
  const QIcon& ForKey(const std::string& key);

 private:
  std::unordered_map<std::string, QIcon> cache_;
};

// The icon shown in the drive combo: a floppy for A: and B:, removable media
// for other removable drives, a hard disk for fixed ones.
QIcon DriveIcon(const platform::Drive& drive);

// The program's icon (window, task bar, about).
QIcon ApplicationIcon();

}  // namespace ambrelic::ui::qt
