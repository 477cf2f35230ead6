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
  for (const std::string& name : {std::string(".."), std::string("."), std::string("a/b"),
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

TEST(RestoreFatEntry, PathLimitsNameClashesAndSkips) {
  test::UseUtf8Locale();
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
  // A name beyond what a Linux file system takes (255 bytes) is shortened;
  // one of 255 bytes is kept.
  e.name = std::string(256, 'n');
  EXPECT_TRUE(RestoreFatEntry(v.ctx, host, e).complete);
  EXPECT_TRUE(platform::PathExists(dir + "/" + platform::FitName(e.name)));
  e.name = std::string(255, 'n');
  EXPECT_TRUE(RestoreFatEntry(v.ctx, host, e).complete);
  EXPECT_TRUE(platform::PathExists(dir + "/" + e.name));
  EXPECT_TRUE(host.events.empty());

  // A folder whose name a file holds takes the next free number; a folder
  // of that name is used again.
  RestoreCandidate folder;
  folder.isFolder = true;
  folder.parentPath = dir;
  folder.name = e.name;
  EntryRestore made = RestoreFatEntry(v.ctx, host, folder);
  EXPECT_TRUE(made.complete);
  EXPECT_EQ(made.folderPath, dir + "/" + std::string(251, 'n') + " (2)");
  EXPECT_TRUE(platform::IsFolder(made.folderPath));
  EXPECT_EQ(RestoreFatEntry(v.ctx, host, folder).folderPath, made.folderPath);

  // Paths as long as the kernel takes (4095 bytes), no longer; nothing of
  // the old 253/258-character bounds.
  std::string deep = dir;
  while (deep.size() + 256 < 4095) {
    deep += "/" + std::string(255, 'd');
    ASSERT_TRUE(platform::MakeFolder(deep));
  }
  folder.parentPath = deep;
  folder.name = std::string(4095 - deep.size() - 1, 'f');
  made = RestoreFatEntry(v.ctx, host, folder);
  EXPECT_TRUE(made.complete);
  EXPECT_EQ(made.folderPath.size(), 4095u);
  folder.name += "g";
  EXPECT_FALSE(RestoreFatEntry(v.ctx, host, folder).complete);
  EXPECT_EQ(host.events, (std::vector<std::string>{kTooLong}));
  e.parentPath = deep;
  e.name = std::string(4095 - deep.size() - 1, 'x');
  EXPECT_TRUE(RestoreFatEntry(v.ctx, host, e).complete);
  e.name += "x";
  EXPECT_FALSE(RestoreFatEntry(v.ctx, host, e).complete);
  EXPECT_EQ(host.events.size(), 2u);

  // Skipped without a message, and not complete: a missing folder, and a
  // non-empty file without a valid first cluster. An empty one is created
  // whatever its cluster field holds.
  e.parentPath = dir + "/missing";
  e.name = "x";
  EXPECT_FALSE(RestoreFatEntry(v.ctx, host, e).complete);
  e.parentPath = dir;
  e.name = "bad";
  e.firstCluster = 1;
  EXPECT_FALSE(RestoreFatEntry(v.ctx, host, e).complete);
  EXPECT_FALSE(platform::PathExists(dir + "/bad"));
  e.size = 0;
  EXPECT_TRUE(RestoreFatEntry(v.ctx, host, e).complete);
  EXPECT_TRUE(platform::PathExists(dir + "/bad"));
  EXPECT_EQ(host.events.size(), 2u);
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

std::string Repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

TEST(FitName, LongNamesKeepTheirExtensionAndStayApart) {
  test::UseUtf8Locale();
  EXPECT_EQ(platform::FitName(std::string(255, 'n')), std::string(255, 'n'));
  // Cut at a character, then "~" and the hash of the whole name.
  EXPECT_EQ(platform::FitName(Repeat("\xC3\xA9", 130)), Repeat("\xC3\xA9", 119) + "~9EC9DC1D");
  const std::string a = platform::FitName(std::string(300, 'x') + "a.txt");
  EXPECT_EQ(a.substr(0, 234) + a.substr(243), std::string(234, 'x') + ".txt");
  EXPECT_NE(a, platform::FitName(std::string(300, 'x') + "b.txt"));
  // An "extension" of more than 20 bytes is none: cut like the rest.
  EXPECT_EQ(platform::FitName("Minutes. " + std::string(300, 'm')).substr(0, 10), "Minutes. m");
}

TEST(NumberedPath, TheNumberedNameStaysWithinTheNameLimit) {
  test::UseUtf8Locale();
  EXPECT_EQ(platform::NumberedPath("d/stem.ext", 2), "d/stem (2).ext");
  EXPECT_EQ(platform::NumberedPath("d/.profile", 3), "d/.profile (3)");
  EXPECT_EQ(platform::NumberedPath("d.x/name", 2), "d.x/name (2)");
  // 255 bytes: the stem gives way to the number.
  EXPECT_EQ(platform::NumberedPath("d/" + std::string(251, 'n') + ".txt", 2), "d/" + std::string(247, 'n') + " (2).txt");
  // Cut at a character: 123 "é" (246 bytes) + " (2)" + ".txt" = 254 bytes.
  EXPECT_EQ(platform::NumberedPath("d/" + Repeat("\xC3\xA9", 125) + ".txt", 2),
            "d/" + Repeat("\xC3\xA9", 123) + " (2).txt");
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
