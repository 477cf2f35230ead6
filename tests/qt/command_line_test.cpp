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

TEST(WindowArgumentsTest, AMapfileGoesWithItsOneImage) {
  const WindowArguments a = ParseWindowArguments({"--mapfile", "card.map", "card.img"});
  ASSERT_TRUE(a.error.empty()) << a.error;
  ASSERT_EQ(a.sources.size(), 1u);
  EXPECT_EQ(a.sources[0].mapfile, "card.map");
  EXPECT_EQ(ParseWindowArguments({"--mapfile=card.map", "a.img", "b.img"}).error,
            "--mapfile goes with exactly one SOURCE");
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
  // "--platform" is this program's, not Qt's: a bad value is a usage error.
  const std::string platform = test::RunCommand(std::string("QT_QPA_PLATFORM=offscreen '") + AMBRELIC_WINDOW_BINARY +
                                                    "' --platform 95 2>&1",
                                                &status);
  EXPECT_EQ(status, 2);
  EXPECT_NE(platform.find("--platform takes nt or 9x"), std::string::npos) << platform;
}

}  // namespace
}  // namespace ambrelic::ui::qt

namespace ambrelic::ui::qt {
namespace {

TEST(WindowArgumentsTest, TheWindows9xPathAndItsGeometry) {
  WindowArguments a = ParseWindowArguments({"--platform", "9x", "--geometry", "16,63", "--no-lba", "disk.img"});
  ASSERT_TRUE(a.error.empty()) << a.error;
  EXPECT_TRUE(a.platform9x);
  EXPECT_EQ(a.heads, 16);
  EXPECT_EQ(a.sectorsPerTrack, 63);
  EXPECT_FALSE(a.lba);
  a = ParseWindowArguments({"--platform=nt"});
  EXPECT_FALSE(a.platform9x);
  EXPECT_EQ(a.heads, 255);
  EXPECT_TRUE(a.lba);
  EXPECT_EQ(ParseWindowArguments({"--platform", "95"}).error, "--platform takes nt or 9x");
  for (const char* bad : {"0,63", "256,63", "255,64", "255", "a,b", "255,"}) {
    EXPECT_EQ(ParseWindowArguments({"--geometry", bad}).error, "--geometry takes HEADS,SECTORS (1-255, 1-63)") << bad;
  }
}

}  // namespace
}  // namespace ambrelic::ui::qt

namespace ambrelic::ui::qt {
namespace {

TEST(WindowArgumentsTest, OwnOptionsThatQtWouldTakeAreSetAside) {
  std::vector<std::string> words = {"ambrelic", "--platform", "9x", "-style", "fusion", "a.img",
                                    "--geometry=16,63", "--", "--platform"};
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  const SplitArguments split = SplitOwnOptions(static_cast<int>(argv.size()), argv.data());
  EXPECT_EQ(split.ours, std::vector<std::string>({"--platform", "9x", "--geometry=16,63"}));
  std::vector<std::string> rest;
  for (char* p : split.forQt) rest.emplace_back(p);
  EXPECT_EQ(rest, std::vector<std::string>({"ambrelic", "-style", "fusion", "a.img", "--", "--platform"}));
}

}  // namespace
}  // namespace ambrelic::ui::qt
