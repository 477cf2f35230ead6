// ambrelic-cli wipe: its options parsed in-process, and the built binary run
// on copies of the wipe images: the default No without a terminal, --yes,
// --records, a read-only source and a mounted block device refused, Ctrl-C
// during the wipe.
#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include "cli/options.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

using CliResult = test::ProgramRun;

// The built binary, with standard input and error away from any terminal.
CliResult Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string CopyOf(const std::string& name) {
  const std::string path = test::MakeTempDir("cliwipe-image") + "/volume.img";
  fs::copy_file(test::FixtureImage("make_wipe_images.sh", name), path);
  return path;
}

const std::string kFirst =
    "Delete completely all deleted files on C:\\ drive not to be restored.\n(This function doesn't affect to "
    "existing files.)\n\nDo you want to continue?\n";
const std::string kSecond =
    "Before you run this function, Please check C:\\ drive and repair all errors if it has any.\nPlease close all "
    "running applications, if any.\n\nDo you want to continue?\n";
const std::string kRecords =
    "Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file records, too?\n";

TEST(CliWipeOptions, Flags) {
  auto r = ParseCommandLine({"wipe", "--drive", "d:", "--yes", "--records", "--quiet", "a.img"});
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.options.command, Command::Wipe);
  EXPECT_EQ(r.options.drive, 'D');
  EXPECT_TRUE(r.options.yes);
  EXPECT_EQ(r.options.records, true);
  EXPECT_TRUE(r.options.quiet);
  r = ParseCommandLine({"wipe", "--no-records", "a.img"});
  ASSERT_TRUE(r.ok);
  EXPECT_EQ(r.options.records, false);
  EXPECT_FALSE(r.options.yes);
  EXPECT_FALSE(ParseCommandLine({"wipe", "--records", "--no-records", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"wipe", "--name", "X", "a.img"}).ok);
  EXPECT_FALSE(ParseCommandLine({"wipe", "--records=1", "a.img"}).ok);
  EXPECT_NE(UsageText().find("ambrelic-cli wipe     [--drive X:] [--yes] [--records | --no-records] [--quiet]"),
            std::string::npos);
}

// Declined is not done: the status is 1.
TEST(CliWipe, WithoutYesAndWithoutATerminalNothingIsWritten) {
  const std::string path = CopyOf("wipe-ntfs.img");
  const std::string before = test::Sha256Of(path);
  const CliResult r = Cli("wipe '" + path + "'");
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_EQ(r.err, kFirst);
  EXPECT_EQ(test::Sha256Of(path), before);
}

TEST(CliWipe, YesWipesAndRecordsAnswersTheQuestionBetweenThePhases) {
  const std::string path = CopyOf("wipe-ntfs.img");
  CliResult r = Cli("wipe --yes --quiet '" + path + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  // --quiet shows no question: the one no flag answered takes its default
  // (No) without a word.
  EXPECT_EQ(r.err, "");
  // Phase 1 only: the deleted records are still listed.
  EXPECT_NE(Cli("search --quiet '" + path + "'").out.find("inner.bin"), std::string::npos);
  r = Cli("wipe --yes --records --quiet '" + path + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  r = Cli("wipe --yes --no-records '" + CopyOf("wipe-ntfs.img") + "'");
  EXPECT_EQ(r.err, kFirst + kSecond + kRecords) << "without --quiet the answered questions are shown";
  const CliResult search = Cli("search --quiet '" + path + "'");
  EXPECT_EQ(search.out.find("inner.bin"), std::string::npos) << search.out;
  EXPECT_NE(search.err.find("No files were found."), std::string::npos) << search.err;
}

// A mounted block device belongs to the kernel: the wipe says so and writes
// nothing, also when given the image file behind it. Needs root, a loop device and ntfs-3g (FUSE).
TEST(CliWipe, AMountedDeviceIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string path = CopyOf("wipe-ntfs.img");
  int status = -1;
  const std::string loop = test::RunCommand("losetup -f --show '" + path + "' 2>/dev/null", &status);
  if (status != 0 || loop.empty()) GTEST_SKIP() << "no loop device here";
  const std::string device = loop.substr(0, loop.find('\n'));
  const std::string mountPoint = test::MakeTempDir("cliwipe-mnt");
  test::RunCommand("ntfs-3g '" + device + "' '" + mountPoint + "' 2>&1", &status);
  if (status != 0) {
    test::RunCommand("losetup -d '" + device + "'");
    GTEST_SKIP() << "ntfs-3g cannot mount here";
  }
  test::RunCommand("sync");
  const std::string before = test::Sha256Of(path);
  const CliResult r = Cli("wipe --yes --records --quiet '" + device + "'");
  // The image file behind the mounted loop device is refused too.
  const CliResult throughFile = Cli("wipe --yes --records --quiet '" + path + "'");
  const std::string after = test::Sha256Of(path);
  test::RunCommand("umount '" + mountPoint + "'; losetup -d '" + device + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "The drive is in use (mounted). Unmount it and try again.\n");
  EXPECT_EQ(throughFile.status, 1);
  EXPECT_EQ(throughFile.err, "The drive is in use (mounted). Unmount it and try again.\n");
  EXPECT_EQ(after, before);
}


// An image file that ntfs-3g reads through FUSE has no lock and no loop
// device: the mount table alone tells that the file system is live.
TEST(CliWipe, AnImageFileMountedThroughFuseIsRefused) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for FUSE";
  const std::string path = CopyOf("wipe-ntfs.img");
  const std::string mountPoint = test::MakeTempDir("cliwipe-fuse");
  int status = -1;
  test::RunCommand("ntfs-3g '" + path + "' '" + mountPoint + "' 2>&1", &status);
  if (status != 0) GTEST_SKIP() << "ntfs-3g cannot mount here";
  const std::string before = test::Sha256Of(path);
  const CliResult r = Cli("wipe --yes --records --quiet '" + path + "'");
  const std::string after = test::Sha256Of(path);
  test::RunCommand("umount '" + mountPoint + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "The drive is in use (mounted). Unmount it and try again.\n");
  EXPECT_EQ(after, before);
}

}  // namespace
}  // namespace ambrelic::cli

namespace ambrelic::cli {
namespace {

// Ctrl-C while the vacant clusters are being overwritten: the wipe stops,
// the question between the phases is not asked, and the status is 1 (the
// user confirmed a wipe that was not done).
TEST(CliWipe, CtrlCDuringTheWipeEndsWithStatusOne) {
  const std::string dir = test::MakeTempDir("cliwipe-interrupt");
  const std::string image = dir + "/big.img";
  int status = -1;
  // Large and nearly empty: the vacant-cluster pass takes long enough to
  // be interrupted.
  test::RunCommand("truncate -s 512M '" + image + "' && mkfs.fat -F 32 -s 1 '" + image + "' >/dev/null 2>&1",
                   &status);
  ASSERT_EQ(status, 0);
  // The questions are printed (answered by --yes) before the pass begins;
  // the signal follows the second one.
  const std::string script = dir + "/interrupt.sh";
  const std::string text =
      "'" + std::string(AMBRELIC_CLI) + "' wipe --yes --records '" + image + "' 2>'" + dir +
      "/err' </dev/null & pid=$!\n"
      "for i in $(seq 1 3000); do [ \"$(grep -c 'Do you want to continue' '" + dir +
      "/err')\" = 2 ] && break; sleep 0.01; done\n"
      "if kill -INT $pid 2>/dev/null; then wait $pid; echo $?; else wait $pid; echo finished; fi\n";
  test::WriteFileBytes(script, std::vector<std::uint8_t>(text.begin(), text.end()));
  const std::string out = test::RunCommand("bash '" + script + "'");
  const auto err = test::ReadFileBytes(dir + "/err");
  const std::string said(err.begin(), err.end());
  if (out.rfind("finished", 0) == 0) GTEST_SKIP() << "the wipe ended before the signal";
  EXPECT_EQ(out, "1\n") << said;
  EXPECT_EQ(said.find("have been replaced"), std::string::npos) << said;
}

}  // namespace
}  // namespace ambrelic::cli
