// ambrelic-cli on damaged media: the built binary run on images served by
// nbdkit and nbdfuse with chosen ranges failing with EIO. Every command
// counts what it could not read and ends with a message naming the drive;
// a restore that lost bytes says which files and exits 1; a device that
// stops answering ends the command.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>

#include "disk/byte_reader.h"
#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;
using Ranges = std::vector<std::pair<std::uint64_t, std::uint64_t>>;
constexpr std::uint64_t kPage = 4096;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }

std::string Image(const std::string& name) { return test::FixtureImage("make_media_images.sh", name); }
std::string Original(const std::string& image, const std::string& path) {
  return fs::path(Image(image + ".img")).parent_path().string() + "/media-originals/" + image + "/" + path;
}

std::size_t Lines(const std::string& text) {
  std::size_t n = 0;
  for (char c : text) n += c == '\n' ? 1 : 0;
  return n;
}

// Byte offset of cluster c of a FAT16/FAT32 volume (from its boot sector).
std::uint64_t ClusterOffset(const std::string& image, std::uint64_t c) {
  const auto bytes = test::ReadFileBytes(image);
  const disk::Bytes b(bytes.data(), 512);
  const std::uint64_t bps = disk::le16(b, 0x0B), spc = disk::le8(b, 0x0D), reserved = disk::le16(b, 0x0E);
  const std::uint64_t fats = disk::le8(b, 0x10), roots = disk::le16(b, 0x11);
  std::uint64_t spf = disk::le16(b, 0x16);
  if (spf == 0) spf = disk::le32(b, 0x24);
  return (reserved + fats * spf + (roots * 32 + bps - 1) / bps) * bps + (c - 2) * spc * bps;
}

// The Cluster column of the row named `name` in a CSV listing.
std::uint64_t ClusterOf(const std::string& csv, const std::string& name) {
  std::istringstream in(csv);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(name + ",", 0) == 0 || line.rfind("\"" + name + "\",", 0) == 0) {
      const auto comma = line.rfind(',');
      std::string number = line.substr(comma + 1);
      number.erase(0, number.find_first_not_of(" \""));
      return std::stoull(number);
    }
  }
  ADD_FAILURE() << "no row " << name << " in\n" << csv;
  return 0;
}

TEST(CliMedia, AHealthyServedImageListsAsTheFileDoesAndSaysNothing) {
  const std::string image = Image("media16.img");
  test::EioImage served(image, {});
  ASSERT_TRUE(served.ok());
  const auto plain = Cli("search --no-scan-vacant --format csv '" + image + "'");
  const auto r = Cli("search --no-scan-vacant --format csv '" + served.path() + "'");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, plain.out);
  EXPECT_EQ(r.err, plain.err);
}

TEST(CliMedia, ASearchCountsTheSectorsItCouldNotRead) {
  const std::string image = Image("media16.img");
  const auto clean = Cli("search --no-scan-vacant --format csv '" + image + "'");
  // The page where the root directory starts: its first two sectors are
  // the root's (the six before them end FAT #2, which nothing reads).
  const std::uint64_t root = ClusterOffset(image, 2) - 512 * 32;
  const std::uint64_t page = root / kPage * kPage;
  ASSERT_EQ(page + kPage - root, 1024u);
  test::EioImage served(image, {{page, kPage}});
  ASSERT_TRUE(served.ok());
  const auto r = Cli("search --no-scan-vacant --format csv '" + served.path() + "'");
  // The whole list is written, and the status tells a script it is not
  // the whole volume's.
  EXPECT_EQ(r.status, 1) << r.err;
  // The root's first entries name every file: none is left to list.
  EXPECT_EQ(Lines(r.out), 1u);
  EXPECT_EQ(r.err,
            "Do you want to scan vacant clusters?\nNo files were found.\n"
            "2 sectors of C:\\ could not be read; what they held is missing from this list.\n");

  // The 9x path reads the same sectors through the INT 13h service, and
  // tells the same.
  const auto ninex = Cli("--platform 9x search --removable '" + served.path() + "' --no-scan-vacant --format csv");
  EXPECT_EQ(ninex.status, 1);
  EXPECT_EQ(ninex.out, r.out);
  EXPECT_EQ(ninex.err, r.err);

  // A page that holds file data only costs a search nothing.
  const std::uint64_t data = ClusterOffset(image, ClusterOf(clean.out, "many clusters.bin")) / kPage * kPage;
  test::EioImage dataOnly(image, {{data + kPage, kPage}});
  ASSERT_TRUE(dataOnly.ok());
  const auto d = Cli("search --no-scan-vacant --format csv '" + dataOnly.path() + "'");
  EXPECT_EQ(d.status, 0);
  EXPECT_EQ(d.out, clean.out);
  EXPECT_EQ(d.err, "Do you want to scan vacant clusters?\n");
}

// What the volume keeps twice is read from the copy: a page of the first
// allocation table from the second, an NTFS boot sector from its backup in
// the volume's last sector. The listing is the healthy one, and nothing is
// missing from it, so nothing more is said.
TEST(CliMedia, WhatTheVolumeKeepsTwiceIsReadFromTheCopy) {
  const std::string fat = Image("media16.img");
  const auto bytes = test::ReadFileBytes(fat);
  const disk::Bytes b(bytes.data(), 512);
  const std::uint64_t fatStart = disk::le16(b, 0x0E) * 512ull;
  const std::uint64_t page = (fatStart / kPage + 1) * kPage;
  ASSERT_LE(page + kPage, fatStart + disk::le16(b, 0x16) * 512ull);
  const std::string ntfs = Image("media-ntfs.img");
  for (const auto& [image, bad] : {std::make_pair(fat, page), std::make_pair(ntfs, std::uint64_t{0})}) {
    const auto clean = Cli("search --no-scan-vacant --format csv '" + image + "'");
    test::EioImage served(image, {{bad, kPage}});
    ASSERT_TRUE(served.ok());
    const auto r = Cli("search --no-scan-vacant --format csv '" + served.path() + "'");
    EXPECT_EQ(r.status, 0) << image << "\n" << r.err;
    EXPECT_EQ(r.out, clean.out) << image;
    EXPECT_EQ(r.err, clean.err) << image;
  }
}

TEST(CliMedia, ARestoreNamesTheFilesThatLostBytesAndExitsOne) {
  const std::string image = Image("media16.img");
  const auto clean = Cli("search --no-scan-vacant --format csv '" + image + "'");
  const std::uint64_t first = ClusterOf(clean.out, "many clusters.bin");
  const std::uint64_t start = ClusterOffset(image, first);
  const std::uint64_t page = (start + 20000) / kPage * kPage;
  test::EioImage served(image, {{page, kPage}});
  ASSERT_TRUE(served.ok());
  const std::string out = test::MakeTempDir("cli-media-restore") + "/one";
  const auto r = Cli("restore --no-scan-vacant --name 'many clusters' --row 1 --to '" + out + "' '" +
                     served.path() + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Do you want to scan vacant clusters?\n"
                   "8 sectors of C:\\ could not be read; what they held is missing from the restored files.\n\n" +
                       out + "\nambrelic-cli: 1 file restored (60000 bytes) to " + out + "; 1 not restored completely\n");
  auto expected = test::ReadFileBytes(Original("media16", "many clusters.bin"));
  std::fill_n(expected.begin() + static_cast<std::ptrdiff_t>(page - start), kPage, 0);
  EXPECT_EQ(test::ReadFileBytes(out), expected);
}

TEST(CliMedia, ARestoreOfManyDamagedFilesNamesAFewAndCountsTheRest) {
  const std::string image = Image("media16.img");
  const auto clean = Cli("search --no-scan-vacant --format csv '" + image + "'");
  // 64 KiB over the documents of the live folder: a dozen files or more.
  const std::uint64_t first = ClusterOf(clean.out, "Document number 020 with a long name.txt");
  const std::uint64_t begin = ClusterOffset(image, first) / kPage * kPage;
  test::EioImage served(image, {{begin, 16 * kPage}});
  ASSERT_TRUE(served.ok());
  const std::string out = test::MakeTempDir("cli-media-many") + "/all";
  const auto r = Cli("restore --no-scan-vacant --name 'Document number' --all --to '" + out + "' '" +
                     served.path() + "'");
  EXPECT_EQ(r.status, 1);
  // The search's own count may come first (the range holds clusters of the
  // folder too); the restore's names five files and counts the others.
  const std::regex told(
      "(^|\\n)[0-9]+ sectors of C:\\\\ could not be read; what they held is missing from the restored files\\.\\n\\n"
      "(" + out + "/[^\\n]+\\n){5}and [0-9]+ more\\.\\n"
      "ambrelic-cli: [0-9]+ files restored \\([0-9]+ bytes\\) to " + out + "; [1-9][0-9]* not restored completely\\n$");
  EXPECT_TRUE(std::regex_search(r.err, told)) << r.err;
  // Every file keeps its whole size.
  for (const auto& e : fs::directory_iterator(out)) {
    const std::string name = e.path().filename().string();
    EXPECT_EQ(fs::file_size(e.path()), fs::file_size(Original("media16", "Live/" + name))) << name;
  }
}

TEST(CliMedia, ADeviceThatFailsFromTheMiddleOnEndsTheSearch) {
  const std::string image = Image("media32.img");
  const std::uint64_t size = fs::file_size(image);
  // Everything past the first 24 MiB fails: the walk reads what it needs
  // before that, the vacant-cluster scan then meets nothing but failures.
  test::EioImage served(image, {{24u << 20, size - (24u << 20)}});
  ASSERT_TRUE(served.ok());
  const auto started = std::chrono::steady_clock::now();
  const auto r = Cli("search --scan-vacant --format csv '" + served.path() + "'");
  const auto seconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started).count();
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("C:\\ is not accessible.\n\nInput/output error\n"), std::string::npos) << r.err;
  EXPECT_NE(r.err.find(" sectors of C:\\ could not be read; what they held is missing from this list.\n"),
            std::string::npos)
      << r.err;
  EXPECT_LT(seconds, 120);
  // The rows of the walk are all there.
  const auto clean = Cli("search --no-scan-vacant --format csv '" + image + "'");
  EXPECT_EQ(r.out.substr(0, r.out.find('\n')), clean.out.substr(0, clean.out.find('\n')));
  EXPECT_GE(Lines(r.out), Lines(clean.out));
}

}  // namespace
}  // namespace ambrelic::cli
