// restore --row N --to -: one file row's bytes on standard output, read as
// the restore reads them (FAT and NTFS), byte-identical to the file that
// was deleted, and nothing made anywhere.
#include <gtest/gtest.h>

#include <strings.h>

#include <filesystem>
#include <sstream>

#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

// The 1-based row of `name` in the CSV listing (its first letter may be
// the deleted entry's lost one).
int RowOf(const std::string& image, const std::string& name) {
  const std::string csv = test::RunCommand(std::string("'") + AMBRELIC_CLI + "' search --no-scan-vacant --format csv '" +
                                           image + "'");
  std::istringstream lines(csv);
  std::string line;
  std::getline(lines, line);
  for (int row = 1; std::getline(lines, line); ++row) {
    const std::string first = line.substr(0, line.find(','));
    // Short names lose their first letter when deleted ("$HOTO.JPG").
    if (first.size() == name.size() && strcasecmp(first.c_str() + 1, name.c_str() + 1) == 0) return row;
  }
  ADD_FAILURE() << name << " not in\n" << csv;
  return 0;
}

TEST(CliRowBytes, AFileRowGoesToStandardOutputWhole) {
  const std::string image = test::FixtureImage("make_preview_images.sh", "preview.img");
  const std::string files = fs::path(image).parent_path().string() + "/preview-files/";
  const std::string before = test::Sha256Of(image);
  const std::string dir = test::MakeTempDir("cli-row-bytes");
  for (const char* name : {"photo.jpg", "notes.txt", "program.bin"}) {
    const int row = RowOf(image, name);
    int status = -1;
    const std::string err = test::RunCommand(std::string("cd '") + dir + "' && '" + AMBRELIC_CLI +
                                                 "' restore --quiet --no-scan-vacant --row " + std::to_string(row) +
                                                 " --to - '" + image + "' 2>&1 >out.bin",
                                             &status);
    EXPECT_EQ(status, 0) << name << ": " << err;
    EXPECT_EQ(err, "") << name;
    EXPECT_EQ(test::Sha256Of(dir + "/out.bin"), test::Sha256Of(files + name)) << name;
    // Through a pipe as well (standard output that cannot seek).
    const std::string piped = test::RunCommand(std::string("'") + AMBRELIC_CLI + "' restore --no-scan-vacant --row " +
                                               std::to_string(row) + " --to - '" + image + "' | sha256sum | cut -c1-64");
    EXPECT_EQ(piped, test::Sha256Of(files + name) + "\n") << name;
  }
  EXPECT_EQ(std::vector<fs::path>(fs::directory_iterator(dir), fs::directory_iterator()),
            std::vector<fs::path>{fs::path(dir) / "out.bin"})
      << "nothing made beside the redirected output";
  int status = -1;
  const std::string folder = test::RunCommand(std::string("'") + AMBRELIC_CLI + "' restore --no-scan-vacant --row " +
                                                  std::to_string(RowOf(image, "album")) + " --to - '" + image +
                                                  "' 2>&1 >/dev/null",
                                              &status);
  EXPECT_EQ(status, 1);
  EXPECT_NE(folder.find("is a folder"), std::string::npos) << folder;
  test::RunCommand(std::string("'") + AMBRELIC_CLI + "' restore --no-scan-vacant --all --to - '" + image +
                       "' >/dev/null 2>&1",
                   &status);
  EXPECT_EQ(status, 2) << "one row only";
  EXPECT_EQ(test::Sha256Of(image), before);
}

TEST(CliRowBytes, AnNtfsRowToo) {
  const std::string image = test::FixtureImage("make_qt_images.sh", "qt-ntfs.img");
  const std::string csv = test::RunCommand(std::string("'") + AMBRELIC_CLI + "' search --format csv '" + image + "'");
  if (csv.find("gone two.dat") == std::string::npos) GTEST_SKIP() << "no FUSE to delete files with ntfs-3g";
  const std::string bytes = test::RunCommand(std::string("'") + AMBRELIC_CLI + "' restore --row " +
                                             std::to_string(RowOf(image, "gone two.dat")) + " --to - '" + image +
                                             "'");
  EXPECT_EQ(bytes, std::string(5000, 'x'));
}

}  // namespace
}  // namespace ambrelic::cli
