#include "ui/unreadable_report.h"

#include "platform/volume_info.h"

namespace ambrelic::ui {
namespace {

std::string CountOf(const std::string& root, std::uint64_t sectors) {
  return std::to_string(sectors) + (sectors == 1 ? " sector of " : " sectors of ") + root +
         " could not be read; what they held ";
}

}  // namespace

std::string UnreadableListText(const std::string& root, std::uint64_t sectors) {
  return CountOf(root, sectors) + "is missing from this list.";
}

std::string UnreadableRestoreText(const std::string& root, std::uint64_t sectors,
                                  const std::vector<std::string>& files) {
  std::string text = CountOf(root, sectors) + "is missing from the restored files.";
  if (files.empty()) return text;
  text += "\n";
  for (std::size_t i = 0; i < files.size() && i < kUnreadableFilesNamed; ++i) text += "\n" + files[i];
  if (files.size() > kUnreadableFilesNamed) {
    text += "\nand " + std::to_string(files.size() - kUnreadableFilesNamed) + " more.";
  }
  return text;
}

std::string UnreadableWipeText(const std::string& root, std::uint64_t sectors) {
  return CountOf(root, sectors) + "has not been overwritten.";
}

std::string DeviceLostText(const std::string& root, int error) {
  return root + " is not accessible.\n\n" + platform::ErrorText(error);
}

}  // namespace ambrelic::ui
