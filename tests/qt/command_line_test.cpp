#include <gtest/gtest.h>

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
