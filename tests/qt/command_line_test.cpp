#include <gtest/gtest.h>

#include "support/test_support.h"
#include "ui/qt/command_line.h"

namespace ambrelic::ui::qt {
namespace {

TEST(WindowArgumentsTest, SourcesAndOptionsInOrder) {
  const WindowArguments a =
      ParseWindowArguments({"card.img", "--floppy", "fd.img", "--removable=stick.img", "--codepage", "CP850"});
  ASSERT_TRUE(a.error.empty()) << a.error;
  ASSERT_EQ(a.sources.size(), 3u);
  EXPECT_EQ(a.sources[0].path, "card.img");
  EXPECT_FALSE(a.sources[0].floppy);
  EXPECT_FALSE(a.sources[0].removable);
  EXPECT_EQ(a.sources[1].path, "fd.img");
  EXPECT_TRUE(a.sources[1].floppy);
  EXPECT_EQ(a.sources[2].path, "stick.img");
  EXPECT_TRUE(a.sources[2].removable);
  EXPECT_EQ(a.codepage, "CP850");
}

TEST(WindowArgumentsTest, AFlaggedSourceNamedTwiceIsOneDrive) {
  const WindowArguments a = ParseWindowArguments({"stick.img", "--removable", "stick.img"});
  ASSERT_EQ(a.sources.size(), 1u);
  EXPECT_TRUE(a.sources[0].removable);
}

TEST(WindowArgumentsTest, NoSourceMeansTheMachinesDevices) {
  const WindowArguments a = ParseWindowArguments({});
  EXPECT_TRUE(a.error.empty());
  EXPECT_TRUE(a.sources.empty());
  EXPECT_FALSE(a.help);
}

TEST(WindowArgumentsTest, RefusesWhatItDoesNotKnow) {
  EXPECT_EQ(ParseWindowArguments({"--bogus"}).error, "unknown option --bogus");
  EXPECT_EQ(ParseWindowArguments({"--floppy"}).error, "--floppy needs a value");
  EXPECT_EQ(ParseWindowArguments({"--codepage="}).error, "--codepage needs a value");
  EXPECT_TRUE(ParseWindowArguments({"--help"}).help);
  // After "--" everything is a source, even a name that looks like an option.
  const WindowArguments a = ParseWindowArguments({"--", "--odd.img"});
  ASSERT_EQ(a.sources.size(), 1u);
  EXPECT_EQ(a.sources[0].path, "--odd.img");
}

}  // namespace
}  // namespace ambrelic::ui::qt

namespace ambrelic::ui::qt {
namespace {

// The program itself: its usage and its refusals end before any window.
TEST(WindowProgramTest, HelpAndUsageErrors) {
  int status = -1;
  const std::string help = test::RunCommand(std::string("QT_QPA_PLATFORM=offscreen '") + AMBRELIC_WINDOW_BINARY +
                                                "' --help 2>&1",
                                            &status);
  EXPECT_EQ(status, 0);
  EXPECT_NE(help.find("usage: ambrelic"), std::string::npos) << help;
  const std::string bad = test::RunCommand(std::string("QT_QPA_PLATFORM=offscreen '") + AMBRELIC_WINDOW_BINARY +
                                               "' --bogus 2>&1",
                                           &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(bad.find("unknown option --bogus"), std::string::npos) << bad;
  const std::string cp = test::RunCommand(std::string("QT_QPA_PLATFORM=offscreen '") + AMBRELIC_WINDOW_BINARY +
                                              "' --codepage NO-SUCH-CODEPAGE x.img 2>&1",
                                          &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(cp.find("code page NO-SUCH-CODEPAGE is not supported"), std::string::npos) << cp;
}

}  // namespace
}  // namespace ambrelic::ui::qt
