// The exFAT restore on damaged media, as on FAT and NTFS: a file that got
// zeros for unreadable sectors is named to the host, and a device that
// stops answering ends the file (keeping its length) without reading on.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>

#include "exfat/directory_walk.h"
#include "exfat/restore.h"
#include "exfat/volume.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::exfat {
namespace {

struct Damaged {
  std::shared_ptr<platform::FaultyDevice> faulty;
  disk::VolumeContext ctx;
  disk::FoundRow row;  // the deleted "seventy.bin" (70,000 bytes)

  Damaged() {
    test::UseUtf8Locale();
    const std::string image = test::FixtureImage("make_exfat_images.sh", "exfat-c4096.img");
    faulty = std::make_shared<platform::FaultyDevice>(platform::OpenFileDevice(image).device);
    ctx.volumeHandle = faulty;
    ctx.SearchedRoot = "C:\\";
    ctx.fsKind = disk::FsKind::Exfat;
    ctx.media = std::make_shared<disk::MediaErrors>();
    EXPECT_TRUE(PrepareExfatVolume(ctx));
    disk::OperationState op;
    op.listFilesOnUsedClusters = 1;
    op.nameFilter = "SEVENTY";
    test::RecordingHost host;
    SearchExfat(ctx, op, host);
    ReleaseWalkMarks(ctx);
    EXPECT_EQ(host.rows.size(), 1u);
    if (!host.rows.empty()) row = host.rows.front();
  }

  bool Restore(test::RecordingHost& host, const std::string& path) {
    return RestoreExfatFile(ctx, host, path,
                            RowStream(row.facts, false));
  }

  std::uint64_t DataOffset() const {
    return VolumeOf(ctx).clusterHeapOffset * ctx.bytesPerSector +
           (std::stoull(row.number) - 2) * static_cast<std::uint64_t>(VolumeOf(ctx).bytesPerCluster);
  }
};

TEST(ExfatMedia, ARestoredFileThatGotZerosIsNamed) {
  Damaged d;
  const std::string dir = test::MakeTempDir("exfat-media");
  test::RecordingHost clean;
  ASSERT_TRUE(d.Restore(clean, dir + "/clean"));
  EXPECT_TRUE(clean.unreadableFiles.empty());
  d.faulty->AddBadRange(d.DataOffset() + 8192, 512);
  test::RecordingHost host;
  EXPECT_TRUE(d.Restore(host, dir + "/damaged"));
  ASSERT_EQ(host.unreadableFiles.size(), 1u);
  EXPECT_EQ(host.unreadableFiles[0], dir + "/damaged");
  auto expected = test::ReadFileBytes(dir + "/clean");
  std::fill_n(expected.begin() + 8192, 512, 0);
  EXPECT_EQ(test::ReadFileBytes(dir + "/damaged"), expected);
  EXPECT_EQ(d.ctx.media->UnreadableSectors(512), 1u);
}

TEST(ExfatMedia, ADeviceThatStopsAnsweringEndsTheFile) {
  Damaged d;
  const std::string dir = test::MakeTempDir("exfat-media");
  d.faulty->DieAfter(0, ENXIO);
  const std::uint64_t before = d.faulty->Reads();
  test::RecordingHost host;
  EXPECT_FALSE(d.Restore(host, dir + "/gone"));
  EXPECT_TRUE(d.ctx.media->Abandoned());
  // One read met the vanished device; nothing was asked of it after that.
  EXPECT_EQ(d.faulty->Reads() - before, 1u);
  EXPECT_EQ(std::filesystem::file_size(dir + "/gone"), 70000u);
  EXPECT_EQ(host.unreadableFiles.size(), 1u);
}

}  // namespace
}  // namespace ambrelic::exfat
