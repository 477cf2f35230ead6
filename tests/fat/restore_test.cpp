#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>

#include <filesystem>
#include <numeric>
#include <set>

#include "disk/byte_reader.h"
#include "fat/allocation_table.h"
#include "fat/restore.h"
#include "platform/files.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

// A FAT16 volume in memory: 512-byte clusters from cluster 2 at sector 10;
// cluster c holds the byte c in every position.
struct Volume {
  disk::VolumeContext ctx;
  std::shared_ptr<platform::MemoryDevice> device;

  explicit Volume(std::uint32_t clusters) {
    ctx.fsKind = disk::FsKind::Fat16;
    ctx.bytesPerSector = 512;
    ctx.sectorsPerCluster = 1;
    ctx.bytesPerCluster = 512;
    ctx.dataStartSector = 10;
    ctx.lastCluster = clusters + 1;
    std::vector<std::uint8_t> bytes((10 + clusters) * 512);
    for (std::uint32_t c = 2; c <= clusters + 1; ++c) {
      std::fill_n(bytes.begin() + (10 + c - 2) * 512, 512, static_cast<std::uint8_t>(c));
    }
    device = std::make_shared<platform::MemoryDevice>(bytes, false);
    ctx.volumeHandle = device;
    ctx.fatCopy.assign((clusters + 2) * 2, 0);
    ctx.fatWork = ctx.fatCopy;
  }
  void Use(std::uint32_t c) { disk::put16(std::span<std::uint8_t>(ctx.fatCopy), c * 2, 0xFFFF); }
};

std::vector<std::uint8_t> Expected(std::vector<std::uint32_t> clusters, std::size_t size) {
  std::vector<std::uint8_t> out;
  for (auto c : clusters) out.insert(out.end(), 512, static_cast<std::uint8_t>(c));
  out.resize(size);
  return out;
}

}  // namespace

TEST(RestoreFatFile, ContiguousFreeClustersSkippingReusedOnes) {
  Volume v(20);
  test::RecordingHost host;
  const std::string dir = test::MakeTempDir("fatrestore");
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/a.bin", 5, 1300));
  EXPECT_EQ(test::ReadFileBytes(dir + "/a.bin"), Expected({5, 6, 7}, 1300));

  v.Use(6);  // the middle cluster now belongs to another file
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/b.bin", 5, 1300));
  EXPECT_EQ(test::ReadFileBytes(dir + "/b.bin"), Expected({5, 7, 8}, 1300));

  // A first cluster in use (listed with "include used clusters"): the
  // clusters are taken as they come.
  v.Use(5);
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/c.bin", 5, 1300));
  EXPECT_EQ(test::ReadFileBytes(dir + "/c.bin"), Expected({5, 6, 7}, 1300));
  EXPECT_TRUE(host.events.empty());
}

TEST(RestoreFatFile, ExactlyOneClusterEmptyFileAndWrapping) {
  Volume v(10);  // clusters 2..11
  test::RecordingHost host;
  const std::string dir = test::MakeTempDir("fatrestore");
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/one", 11, 512));
  EXPECT_EQ(test::ReadFileBytes(dir + "/one"), Expected({11}, 512));

  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/empty", 0xFFFF, 0));
  EXPECT_TRUE(platform::PathExists(dir + "/empty"));
  EXPECT_TRUE(test::ReadFileBytes(dir + "/empty").empty());

  v.Use(2);
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/wrap", 10, 1536));
  EXPECT_EQ(test::ReadFileBytes(dir + "/wrap"), Expected({10, 11, 3}, 1536));

  // Every other cluster in use: after wrapping once there is no next free
  // cluster; the file ends with what was found, and says it is not whole.
  for (std::uint32_t c = 2; c <= 11; ++c) {
    if (c != 10) v.Use(c);
  }
  EXPECT_FALSE(RestoreFatFile(v.ctx, host, dir + "/short", 10, 2000));
  EXPECT_EQ(test::ReadFileBytes(dir + "/short"), Expected({10}, 512));
}

TEST(RestoreFatFile, NeverAppendsToOrReplacesAFile) {
  Volume v(10);
  test::RecordingHost host;
  const std::string dir = test::MakeTempDir("fatrestore");
  test::WriteFileBytes(dir + "/report.doc", {'k', 'e', 'e', 'p'});
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/report.doc", 3, 100));
  ASSERT_TRUE(RestoreFatFile(v.ctx, host, dir + "/report.doc", 4, 100));
  EXPECT_EQ(test::ReadFileBytes(dir + "/report.doc"), (std::vector<std::uint8_t>{'k', 'e', 'e', 'p'}));
  EXPECT_EQ(test::ReadFileBytes(dir + "/report (2).doc"), Expected({3}, 100));
  EXPECT_EQ(test::ReadFileBytes(dir + "/report (3).doc"), Expected({4}, 100));
}

TEST(RestoreFatFile, TargetThatCannotBeCreatedIsReported) {
  Volume v(10);
  test::RecordingHost host;
  EXPECT_FALSE(RestoreFatFile(v.ctx, host, "/nonexistent-folder/x/file.bin", 3, 100));
  ASSERT_EQ(host.events.size(), 1u);
  EXPECT_EQ(host.events[0], "message: File writing failure.");

  // A write that fails half-way (the file-size limit stands in for a full
  // disk) is reported too, and the part written stays.
  const std::string dir = test::MakeTempDir("fatrestore");
  struct rlimit old {};
  ::getrlimit(RLIMIT_FSIZE, &old);
  struct rlimit small = old;
  small.rlim_cur = 600;
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  ::setrlimit(RLIMIT_FSIZE, &small);
  const bool ok = RestoreFatFile(v.ctx, host, dir + "/big.bin", 3, 1300);
  ::setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(ok);
  ASSERT_EQ(host.events.size(), 2u);
  EXPECT_EQ(host.events[1], "message: File writing failure.");
  EXPECT_EQ(test::ReadFileBytes(dir + "/big.bin"), Expected({3, 4}, 600));
}

TEST(RestoreFatEntry, HostileNamesStayInsideTheTarget) {
  Volume v(10);
  test::RecordingHost host;
  const std::string dir = test::MakeTempDir("fatentry");
  const std::string target = dir + "/target";
  ASSERT_TRUE(platform::MakeFolder(target));
  for (const std::string name : {std::string(".."), std::string("."), std::string("a/b"),
                                 std::string("../../escape"), std::string("x\0y", 3)}) {
    RestoreCandidate file;
    file.parentPath = target;
    file.name = name;
    file.firstCluster = 3;
    file.size = 10;
    RestoreFatEntry(v.ctx, host, file);
  }
  RestoreCandidate folder;
  folder.parentPath = target;
  folder.name = "sub/../..";
  folder.isFolder = true;
  RestoreFatEntry(v.ctx, host, folder);
  std::set<std::string> inside, outside;
  for (const auto& e : std::filesystem::directory_iterator(target)) inside.insert(e.path().filename().string());
  for (const auto& e : std::filesystem::directory_iterator(dir)) outside.insert(e.path().filename().string());
  EXPECT_EQ(inside, (std::set<std::string>{"_..", "_.", "a_b", ".._.._escape", "x_y", "sub_.._.."}));
  EXPECT_EQ(outside, (std::set<std::string>{"target"}));
  EXPECT_TRUE(host.events.empty());
}

TEST(RestoreFatEntry, PathLimitsAndSkips) {
  Volume v(10);
  test::RecordingHost host;
  const std::string dir = test::MakeTempDir("fatentry");
  const std::string kTooLong =
      "message: Restoring path length exceeded maximum path length.\n\nPlease select a folder with shorter path "
      "length.";
  RestoreCandidate e;
  e.parentPath = dir;
  e.firstCluster = 3;
  e.size = 10;
  // A name beyond what a Linux file system takes (255 bytes).
  e.name = std::string(256, 'n');
  RestoreFatEntry(v.ctx, host, e);
  ASSERT_EQ(host.events, (std::vector<std::string>{kTooLong}));
  e.name = std::string(255, 'n');
  RestoreFatEntry(v.ctx, host, e);
  EXPECT_TRUE(platform::PathExists(dir + "/" + e.name));
  EXPECT_EQ(host.events.size(), 1u);

  // NT limits: a folder's full path of 254 UTF-16 characters, a file whose
  // folder needs 259.
  RestoreCandidate folder;
  folder.isFolder = true;
  folder.parentPath = dir;
  folder.name = std::string(253 - dir.size() - 1, 'f');
  RestoreFatEntry(v.ctx, host, folder);
  EXPECT_TRUE(platform::IsFolder(dir + "/" + folder.name));
  folder.name += "g";
  RestoreFatEntry(v.ctx, host, folder);
  EXPECT_FALSE(platform::PathExists(dir + "/" + folder.name));
  EXPECT_EQ(host.events.size(), 2u);
  e.parentPath = dir + "/" + std::string(258 - dir.size() - 1, 'p');
  e.name = "x";
  RestoreFatEntry(v.ctx, host, e);  // folder missing: skipped silently
  EXPECT_EQ(host.events.size(), 2u);
  e.parentPath += "p";
  RestoreFatEntry(v.ctx, host, e);
  EXPECT_EQ(host.events.size(), 3u);
  EXPECT_EQ(host.events.back(), kTooLong);

  // A non-empty file without a valid first cluster is skipped; an empty one
  // is created whatever its cluster field holds.
  e.parentPath = dir;
  e.name = "bad";
  e.firstCluster = 1;
  RestoreFatEntry(v.ctx, host, e);
  EXPECT_FALSE(platform::PathExists(dir + "/bad"));
  e.size = 0;
  RestoreFatEntry(v.ctx, host, e);
  EXPECT_TRUE(platform::PathExists(dir + "/bad"));
  EXPECT_EQ(host.events.size(), 3u);
}

TEST(SafePathComponent, NamesNeverLeaveTheTarget) {
  EXPECT_EQ(platform::SafePathComponent("notes.txt"), "notes.txt");
  EXPECT_EQ(platform::SafePathComponent(".."), "_..");
  EXPECT_EQ(platform::SafePathComponent("."), "_.");
  EXPECT_EQ(platform::SafePathComponent(""), "_");
  EXPECT_EQ(platform::SafePathComponent("a/b"), "a_b");
  EXPECT_EQ(platform::SafePathComponent(std::string("a\0b", 3)), "a_b");
  EXPECT_EQ(platform::SafePathComponent("..."), "...");
}

TEST(CreateNewFile, NumbersGoBeforeTheLastExtension) {
  const std::string dir = test::MakeTempDir("newfile");
  auto a = platform::CreateNewFile(dir + "/x.tar.gz");
  auto b = platform::CreateNewFile(dir + "/x.tar.gz");
  auto c = platform::CreateNewFile(dir + "/.profile");
  auto d = platform::CreateNewFile(dir + "/.profile");
  EXPECT_EQ(b.path, dir + "/x.tar (2).gz");
  EXPECT_EQ(d.path, dir + "/.profile (2)");
  for (auto* f : {&a, &b, &c, &d}) {
    EXPECT_GE(f->fd, 0);
    ::close(f->fd);
  }
}

}  // namespace ambrelic::fat
