// A deleted exFAT file of more than 4 GiB (exfat-fuse wrote it, zeros with
// marks at its start, around 4 GiB and at its end): listed with its whole
// size and restored whole.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "exfat/directory_walk.h"
#include "exfat/restore.h"
#include "exfat/volume.h"
#include "platform/block_device.h"
#include "support/test_support.h"

namespace ambrelic::exfat {
namespace {

TEST(ExfatBigFile, ListedWithItsSizeAndRestoredWhole) {
  ambrelic::test::UseUtf8Locale();
  const std::string image = ambrelic::test::FixtureImage("make_exfat_big_image.sh", "exfat-big.img");
  auto opened = platform::OpenFileDevice(image);
  ASSERT_TRUE(opened.device);
  disk::VolumeContext ctx;
  ctx.volumeHandle = opened.device;
  ctx.SearchedRoot = "C:\\";
  ctx.fsKind = disk::FsKind::Exfat;
  ASSERT_TRUE(PrepareExfatVolume(ctx));
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
  SearchExfat(ctx, op, host);
  ASSERT_EQ(host.rows.size(), 1u);
  const disk::FoundRow& r = host.rows[0];
  const std::uint64_t size = (std::uint64_t{1} << 32) + 70000;
  EXPECT_EQ(r.name, "big.bin");
  EXPECT_EQ(r.size, std::to_string(size));

  const std::string dir = ambrelic::test::MakeTempDir("exfat-big");
  const std::string ours = dir + "/big.bin";
  EXPECT_TRUE(RestoreExfatFile(ctx, host, ours, RowStream(r.facts, false)));
  for (const auto& e : host.events) EXPECT_EQ(e.rfind("message:", 0), std::string::npos) << e;
  ASSERT_EQ(std::filesystem::file_size(ours), size);
  // The same bytes made apart: zeros with the marks.
  const std::string expected = dir + "/expected.bin";
  std::string marks = "truncate -s " + std::to_string(size) + " '" + expected + "'";
  for (std::uint64_t at : {std::uint64_t{0}, (std::uint64_t{1} << 32) - 10, (std::uint64_t{1} << 32) + 5000, size - 100}) {
    marks += " && printf 'mark at %d' " + std::to_string(at) + " | dd of='" + expected + "' bs=1 seek=" +
             std::to_string(at) + " conv=notrunc status=none";
  }
  int status = -1;
  ambrelic::test::RunCommand(marks, &status);
  ASSERT_EQ(status, 0);
  ambrelic::test::RunCommand("cmp -s '" + ours + "' '" + expected + "'", &status);
  EXPECT_EQ(status, 0) << "the restored file differs from the one written";
  // The zeros became holes.
  EXPECT_LT(std::stoull(ambrelic::test::RunCommand("du -k '" + ours + "' | cut -f1")), 1024u);
}

}  // namespace
}  // namespace ambrelic::exfat
