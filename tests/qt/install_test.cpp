// `cmake --install` lays out the programs, the INT 13h service library next
// to them, the guide, the desktop entry and the icon.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

TEST(InstallTest, ProgramsLibrariesDesktopEntryAndIcon) {
  const std::string prefix = ambrelic::test::MakeTempDir("qt-install");
  int status = -1;
  const std::string log = ambrelic::test::RunCommand(
      std::string("cmake --install '") + AMBRELIC_BUILD_DIR + "' --prefix '" + prefix + "' 2>&1", &status);
  ASSERT_EQ(status, 0) << log;
  for (const char* file : {"bin/ambrelic", "bin/ambrelic-cli", "bin/dll16.so", "bin/dll32.so",
                           "share/applications/ambrelic.desktop", "share/icons/hicolor/scalable/apps/ambrelic.svg",
                           "share/doc/ambrelic/guide.html"}) {
    EXPECT_TRUE(fs::is_regular_file(prefix + "/" + file)) << file;
  }
  const auto entry = ambrelic::test::ReadFileBytes(prefix + "/share/applications/ambrelic.desktop");
  const std::string text(entry.begin(), entry.end());
  EXPECT_NE(text.find("Exec=ambrelic"), std::string::npos);
  EXPECT_NE(text.find("Icon=ambrelic"), std::string::npos);
  // The installed program runs from there.
  const std::string help = ambrelic::test::RunCommand("QT_QPA_PLATFORM=offscreen '" + prefix + "/bin/ambrelic' --help", &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("usage: ambrelic"), std::string::npos);
}

}  // namespace
