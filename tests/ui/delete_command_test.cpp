// The delete-completely command through the test host: the two
// confirmations in order, No at either writing nothing, the dispatch to the
// FAT and NTFS wipes, cancel in the first phase, and a source that cannot be
// written refused before anything is asked.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include "disk/byte_reader.h"
#include "platform/drives.h"
#include "support/test_support.h"
#include "ui/delete_command.h"
#include "ui/main_dialog.h"
#include "ui/test_host.h"

namespace ambrelic::ui {
namespace {

namespace fs = std::filesystem;

const std::string kFirst =
    "question(stop): Delete completely all deleted files on C:\\ drive not to be restored.\n(This function doesn't "
    "affect to existing files.)\n\nDo you want to continue?";
const std::string kSecond =
    "question(stop): Before you run this function, Please check C:\\ drive and repair all errors if it has any.\n"
    "Please close all running applications, if any.\n\nDo you want to continue?";
const std::string kFatPhase2 =
    "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file information, too?";
const std::string kNtfsPhase2 =
    "question: Vacant clusters on C:\\ drive have been replaced.\n\nDo you want replace file records, too?";

std::string CopyOf(const std::string& name, const std::string& tag) {
  const std::string path = test::MakeTempDir("delete-command-" + tag) + "/volume.img";
  fs::copy_file(test::FixtureImage("make_wipe_images.sh", name), path);
  return path;
}

class DeleteCommandTest : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }
  MainDialog& Open(const std::string& path) {
    dialog = std::make_unique<MainDialog>(host, platform::BuildDriveTable({{path, false, false}}).drives);
    dialog->Initialise();
    host.log.clear();
    host.boxes.clear();
    return *dialog;
  }
  // Rows a fresh search finds.
  int SearchCount(const std::string& path) {
    TestHost other;
    MainDialog d(other, platform::BuildDriveTable({{path, false, false}}).drives);
    d.Initialise();
    d.SetIncludeZeroSize(true);
    d.OnSearch();
    return d.List().RowCount();
  }
  TestHost host;
  std::unique_ptr<MainDialog> dialog;
};

TEST_F(DeleteCommandTest, NoAtTheFirstConfirmationWritesNothing) {
  const std::string path = CopyOf("wipe-fat16.img", "no1");
  const std::string before = test::Sha256Of(path);
  MainDialog& d = Open(path);
  host.answers = {Answer::No};
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst}));
  ASSERT_EQ(host.boxes.size(), 1u);
  EXPECT_EQ(host.boxes[0].buttons, Buttons::YesNo);
  EXPECT_EQ(host.boxes[0].icon, Icon::Stop);
  EXPECT_EQ(host.boxes[0].defaultButton, 1);
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Ran);
  EXPECT_FALSE(d.LastWipeComplete());
  EXPECT_EQ(host.progressViews, 0);
  EXPECT_EQ(test::Sha256Of(path), before);
}

TEST_F(DeleteCommandTest, NoAtTheSecondConfirmationWritesNothing) {
  const std::string path = CopyOf("wipe-ntfs.img", "no2");
  const std::string before = test::Sha256Of(path);
  MainDialog& d = Open(path);
  host.answers = {Answer::Yes, Answer::No};
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst, kSecond}));
  EXPECT_EQ(host.boxes.at(1).icon, Icon::Stop);
  EXPECT_EQ(host.boxes.at(1).defaultButton, 1);
  EXPECT_FALSE(d.LastWipeComplete());
  EXPECT_EQ(test::Sha256Of(path), before);
}

TEST_F(DeleteCommandTest, FatBothPhasesLeaveNothingToFind) {
  const std::string path = CopyOf("wipe-fat12.img", "fat");
  ASSERT_GT(SearchCount(path), 0);
  MainDialog& d = Open(path);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst, kSecond, kFatPhase2}));
  EXPECT_EQ(d.LastWipeFailures(), 0u);
  EXPECT_TRUE(d.LastWipeComplete());
  EXPECT_EQ(d.List().RowCount(), 0);
  // The volume is left open read-only again.
  ASSERT_TRUE(d.Volume().volumeHandle);
  EXPECT_FALSE(d.Volume().volumeHandle->Writable());
  EXPECT_EQ(SearchCount(path), 0);
}

TEST_F(DeleteCommandTest, NtfsBothPhasesLeaveNothingToFind) {
  const std::string path = CopyOf("wipe-ntfs.img", "ntfs");
  ASSERT_GT(SearchCount(path), 0);
  MainDialog& d = Open(path);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst, kSecond, kNtfsPhase2}));
  EXPECT_EQ(SearchCount(path), 0);
}

// A block device is held exclusively from before the first question to the
// end of the wipe: no one can mount it (or open it exclusively) meanwhile,
// and it is free again afterwards. Needs root for a loop device.
TEST_F(DeleteCommandTest, ABlockDeviceIsHeldExclusivelyForTheWholeWipe) {
  if (::geteuid() != 0) GTEST_SKIP() << "needs root for a loop device";
  const std::string path = CopyOf("wipe-fat12.img", "excl");
  int status = -1;
  const std::string loop = test::RunCommand("losetup -f --show '" + path + "' 2>/dev/null", &status);
  if (status != 0 || loop.empty()) GTEST_SKIP() << "no loop device here";
  const std::string device = loop.substr(0, loop.find('\n'));
  std::vector<int> errors;  // what an exclusive open got at each question
  host.onMessage = [&](const MessageRequest&) {
    const int fd = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
    errors.push_back(fd < 0 ? errno : 0);
    if (fd >= 0) ::close(fd);
  };
  MainDialog& d = Open(device);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  host.onMessage = nullptr;
  const int after = ::open(device.c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
  if (after >= 0) ::close(after);
  test::RunCommand("losetup -d '" + device + "'");
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst, kSecond, kFatPhase2}));
  EXPECT_EQ(errors, (std::vector<int>{EBUSY, EBUSY, EBUSY}));
  EXPECT_TRUE(d.LastWipeComplete());
  EXPECT_GE(after, 0) << "released at the end";
}

TEST_F(DeleteCommandTest, CancelInTheFirstPhaseEndsWithoutTheQuestion) {
  const std::string path = CopyOf("wipe-fat16.img", "cancel");
  MainDialog& d = Open(path);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  host.cancelAtPump = host.pumps + 50;
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{kFirst, kSecond}));
  EXPECT_EQ(host.progressViews, 1);
  EXPECT_FALSE(d.LastWipeComplete());
}

// A volume whose tables disagree is refused with the reason before any
// question: nothing asked, nothing written.
TEST_F(DeleteCommandTest, ADamagedVolumeIsRefusedBeforeAnyQuestion) {
  const std::string path = CopyOf("wipe-fat16.img", "damaged");
  auto bytes = test::ReadFileBytes(path);
  const std::size_t fat2 = (disk::le16(bytes, 0x0E) + disk::le16(bytes, 0x16)) * std::size_t{512};
  bytes[fat2 + 2 * 40] ^= 0x01;  // cluster 40 in the second table only
  test::WriteFileBytes(path, bytes);
  const std::string before = test::Sha256Of(path);
  MainDialog& d = Open(path);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  EXPECT_EQ(host.log, (std::vector<std::string>{
                          "message: The file system on C:\\ drive is damaged: its allocation tables do not agree.\n\n"
                          "Nothing has been overwritten. Please repair the drive first, then try again."}));
  EXPECT_FALSE(d.LastWipeComplete());
  EXPECT_EQ(host.progressViews, 0);
  EXPECT_EQ(test::Sha256Of(path), before);
  ASSERT_TRUE(d.Volume().volumeHandle);
  EXPECT_FALSE(d.Volume().volumeHandle->Writable());
}

// A source that cannot be written is refused with the platform's text
// before any question. As root, permissions do not stop a write, so the
// image is reached through a read-only bind mount.
TEST_F(DeleteCommandTest, AReadOnlySourceIsRefusedBeforeAnything) {
  const std::string path = CopyOf("wipe-fat12.img", "readonly");
  const std::string dir = fs::path(path).parent_path().string();
  std::string target = path;
  std::string view;
  if (::geteuid() == 0) {
    view = test::MakeTempDir("delete-command-ro-view");
    if (::mount(dir.c_str(), view.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
        ::mount(nullptr, view.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) != 0) {
      ::umount2(view.c_str(), MNT_DETACH);
      GTEST_SKIP() << "no read-only bind mount here";
    }
    target = view + "/volume.img";
  } else {
    ::chmod(path.c_str(), 0444);
  }
  const std::string before = test::Sha256Of(path);
  MainDialog& d = Open(target);
  host.answers = {Answer::Yes, Answer::Yes, Answer::Yes};
  d.OnDeleteCompletely();
  // The dialog still holds the volume open: detach the view lazily, or it
  // would stay mounted after the test.
  if (!view.empty()) ::umount2(view.c_str(), MNT_DETACH);
  ASSERT_EQ(host.log.size(), 1u);
  EXPECT_TRUE(host.log[0] == "message: Read-only file system" ||
              host.log[0].rfind("message: Permission denied", 0) == 0)
      << host.log[0];
  EXPECT_EQ(d.LastOutcome(), CommandOutcome::Stopped);
  EXPECT_EQ(test::Sha256Of(path), before);
}

}  // namespace
}  // namespace ambrelic::ui
