// Which mounted file systems read a source: the mount table's lines, the
// overlap of byte ranges, and real mounts (ntfs-3g over an image file and
// over a loop device with an offset), which need root and FUSE.
#include "platform/mounts.h"

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

#include "support/test_support.h"

namespace ambrelic::platform {
namespace {

TEST(MountInfo, FieldsOptionalTagsAndEscapes) {
  std::istringstream in(
      "36 35 98:0 / /mnt/my\\040disk rw,noatime master:1 shared:7 - ext3 /dev/root rw,errors=continue\n"
      "44 26 0:39 / /tmp/m rw,relatime - fuse /tmp/a\\134b.img rw,user_id=0\n"
      "garbage line\n"
      "45 26 7:0 / /x rw\n");
  const std::vector<MountEntry> m = ParseMountInfo(in);
  ASSERT_EQ(m.size(), 2u);
  EXPECT_EQ(m[0].major, 98u);
  EXPECT_EQ(m[0].minor, 0u);
  EXPECT_EQ(m[0].mountPoint, "/mnt/my disk");
  EXPECT_EQ(m[0].fsType, "ext3");
  EXPECT_EQ(m[0].source, "/dev/root");
  EXPECT_EQ(m[1].major, 0u);
  EXPECT_EQ(m[1].source, "/tmp/a\\b.img");
}

TEST(MountInfo, ExtentsOverlapOnlyOnTheSameObject) {
  const BackingExtent whole{true, 5, 9, 0, 0};
  EXPECT_TRUE(ExtentsOverlap(whole, BackingExtent{true, 5, 9, 1 << 20, 4096}));
  EXPECT_FALSE(ExtentsOverlap(whole, BackingExtent{true, 5, 10, 0, 0}));      // another file
  EXPECT_FALSE(ExtentsOverlap(whole, BackingExtent{false, 5, 9, 0, 0}));      // a device, not the file
  const BackingExtent first{true, 5, 9, 0, 1 << 20};
  EXPECT_FALSE(ExtentsOverlap(first, BackingExtent{true, 5, 9, 1 << 20, 0}));  // touching, not sharing
  EXPECT_TRUE(ExtentsOverlap(first, BackingExtent{true, 5, 9, (1 << 20) - 1, 1}));
  EXPECT_FALSE(ExtentsOverlap(BackingExtent{true, 5, 9, ~0ull - 10, 5}, BackingExtent{true, 5, 9, 0, 100}));
}

class RealMounts : public ::testing::Test {
 protected:
  void SetUp() override {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root for FUSE and loop devices";
    dir_ = test::MakeTempDir("mounts");
    image_ = dir_ + "/volume.img";
    mnt_ = dir_ + "/mnt";
    int status = -1;
    test::RunCommand("truncate -s 8M '" + image_ + "' && mkntfs -F -Q -q '" + image_ + "' >/dev/null 2>&1 && mkdir '" +
                         mnt_ + "'",
                     &status);
    ASSERT_EQ(status, 0);
  }
  void TearDown() override {
    if (mounted_) test::RunCommand("umount '" + mnt_ + "' 2>/dev/null || umount -l '" + mnt_ + "'");
    if (!loop_.empty()) test::RunCommand("losetup -d '" + loop_ + "'");
  }
  bool Mount(const std::string& what) {
    int status = -1;
    test::RunCommand("ntfs-3g '" + what + "' '" + mnt_ + "' 2>&1", &status);
    mounted_ = status == 0;
    return mounted_;
  }
  std::string dir_, image_, mnt_, loop_;
  bool mounted_ = false;
};

TEST_F(RealMounts, AnImageFileMountedThroughFuse) {
  EXPECT_FALSE(SourceMounted(image_));
  if (!Mount(image_)) GTEST_SKIP() << "ntfs-3g cannot mount here";
  EXPECT_TRUE(SourceMounted(image_));
  EXPECT_TRUE(SourceMounted(image_, 4096, 4096));
  EXPECT_TRUE(PathOnSource(mnt_ + "/not/yet/there", image_));
  EXPECT_FALSE(PathOnSource(dir_ + "/beside", image_));
  test::RunCommand("umount '" + mnt_ + "'");
  mounted_ = false;
  EXPECT_FALSE(SourceMounted(image_));
  EXPECT_FALSE(PathOnSource(mnt_ + "/x", image_));
}

TEST_F(RealMounts, ALoopDeviceOverPartOfTheImage) {
  // The volume sits 1 MiB into a bigger file, as a partition does.
  const std::string disk = dir_ + "/disk.img";
  int status = -1;
  test::RunCommand("truncate -s 16M '" + disk + "' && dd if='" + image_ + "' of='" + disk +
                       "' bs=1M seek=1 conv=notrunc status=none",
                   &status);
  ASSERT_EQ(status, 0);
  const std::string out = test::RunCommand("losetup -f --show -o 1048576 --sizelimit 8388608 '" + disk + "' 2>/dev/null", &status);
  if (status != 0 || out.empty()) GTEST_SKIP() << "no loop device here";
  loop_ = out.substr(0, out.find('\n'));
  if (!Mount(loop_)) GTEST_SKIP() << "ntfs-3g cannot mount here";
  EXPECT_TRUE(SourceMounted(disk));
  EXPECT_TRUE(SourceMounted(disk, 1 << 20, 8 << 20));
  EXPECT_TRUE(SourceMounted(loop_));
  EXPECT_FALSE(SourceMounted(disk, 0, 1 << 20));        // the bytes before it
  EXPECT_FALSE(SourceMounted(disk, 9 << 20, 7 << 20));  // and after it
  EXPECT_TRUE(PathOnSource(mnt_ + "/new", disk, 1 << 20, 8 << 20));
  EXPECT_FALSE(PathOnSource(mnt_ + "/new", disk, 9 << 20, 0));
}

}  // namespace
}  // namespace ambrelic::platform
