// The texts a command ends with when sectors could not be read.
#include <gtest/gtest.h>

#include <cerrno>

#include "ui/unreadable_report.h"

namespace ambrelic::ui {
namespace {

TEST(UnreadableReport, ListRestoreAndWipeTexts) {
  EXPECT_EQ(UnreadableListText("C:\\", 8),
            "8 sectors of C:\\ could not be read; what they held is missing from this list.");
  EXPECT_EQ(UnreadableListText("D:\\", 1), "1 sector of D:\\ could not be read; what they held is missing from this list.");
  EXPECT_EQ(UnreadableRestoreText("C:\\", 16, {}),
            "16 sectors of C:\\ could not be read; what they held is missing from the restored files.");
  EXPECT_EQ(UnreadableRestoreText("C:\\", 16, {"/out/a.txt", "/out/b.txt"}),
            "16 sectors of C:\\ could not be read; what they held is missing from the restored files.\n\n"
            "/out/a.txt\n/out/b.txt");
  EXPECT_EQ(UnreadableWipeText("E:\\", 3), "3 sectors of E:\\ could not be read; what they held has not been overwritten.");
  EXPECT_EQ(DeviceLostText("C:\\", EIO), "C:\\ is not accessible.\n\nInput/output error");
}

TEST(UnreadableReport, ARestoreNamesFiveFilesAndCountsTheRest) {
  std::vector<std::string> files;
  for (int i = 1; i <= 5; ++i) files.push_back("f" + std::to_string(i));
  const std::string five = UnreadableRestoreText("C:\\", 40, files);
  EXPECT_EQ(five.substr(five.find("\n\n")), "\n\nf1\nf2\nf3\nf4\nf5");
  files.push_back("f6");
  files.push_back("f7");
  const std::string seven = UnreadableRestoreText("C:\\", 40, files);
  EXPECT_EQ(seven.substr(seven.find("\n\n")), "\n\nf1\nf2\nf3\nf4\nf5\nand 2 more.");
}

}  // namespace
}  // namespace ambrelic::ui
