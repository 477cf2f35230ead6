// ambrelic-cli on exFAT images: drives, search, restore and wipe, with the
// exit statuses of the FAT commands.
#include <gtest/gtest.h>

#include <filesystem>

#include "support/test_support.h"

namespace ambrelic::cli {
namespace {

namespace fs = std::filesystem;

test::ProgramRun Cli(const std::string& args) { return test::RunProgram(AMBRELIC_CLI, args); }
std::string Image(const std::string& name) { return test::FixtureImage("make_exfat_images.sh", name); }

TEST(CliExfat, DrivesNameTheKind) {
  const test::ProgramRun r = Cli("drives '" + Image("exfat-mbr.img") + "' '" + Image("exfat-c512.img") + "'");
  EXPECT_EQ(r.status, 0);
  EXPECT_NE(r.out.find("C:\\\tfixed\tFAT12\tPARTFAT (C:)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("D:\\\tfixed\texFAT\tAMB4096 (D:)"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("E:\\\tfixed\texFAT\tAMB512 (E:)"), std::string::npos) << r.out;
}

TEST(CliExfat, SearchRestoreAndWipe) {
  const std::string copy = test::MakeTempDir("cli-exfat") + "/card.img";
  fs::copy_file(Image("exfat-mbr.img"), copy);
  const test::ProgramRun search =
      Cli("search --drive D: --name SEVENTY --format csv --scan-vacant '" + copy + "'");
  EXPECT_EQ(search.status, 0);
  EXPECT_NE(search.out.find("seventy.bin,D:\\tree\\a\\b,70000,"), std::string::npos) << search.out;

  const std::string target = test::MakeTempDir("cli-exfat-out") + "/seventy.bin";
  const test::ProgramRun restore =
      Cli("restore --drive D: --name SEVENTY --no-scan-vacant --row 1 --to '" + target + "' '" + copy + "'");
  EXPECT_EQ(restore.status, 0) << restore.err;
  EXPECT_EQ(fs::file_size(target), 70000u);

  const std::string before = test::Sha256Of(copy);
  Cli("wipe --drive D: '" + copy + "'");
  EXPECT_EQ(test::Sha256Of(copy), before) << "no --yes and no terminal: No";
  const test::ProgramRun wipe = Cli("wipe --drive D: --yes --records --quiet '" + copy + "'");
  EXPECT_EQ(wipe.status, 0) << wipe.err;
  const test::ProgramRun after = Cli("search --drive D: --format csv --scan-vacant '" + copy + "'");
  EXPECT_EQ(after.out, "Name,In Folder,Size,Modified,Cluster\n");
  EXPECT_NE(after.err.find("No files were found."), std::string::npos);
  // The FAT partition beside it is left as it was.
  EXPECT_EQ(Cli("search --drive C: --format csv --no-scan-vacant '" + copy + "'").out,
            Cli("search --drive C: --format csv --no-scan-vacant '" + Image("exfat-mbr.img") + "'").out);
}

TEST(CliExfat, AVolumeThatContradictsItselfIsRefusedWithStatusOne) {
  const std::string copy = test::MakeTempDir("cli-exfat") + "/dirty.img";
  fs::copy_file(Image("exfat-c4096.img"), copy);
  // The volume flags' dirty bit: the volume was not unmounted cleanly.
  test::RunCommand("printf '\\002' | dd of='" + copy + "' bs=1 seek=106 conv=notrunc status=none");
  const std::string before = test::Sha256Of(copy);
  const test::ProgramRun r = Cli("wipe --yes --records '" + copy + "'");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("does not agree with itself (it was not unmounted cleanly)"), std::string::npos) << r.err;
  EXPECT_EQ(test::Sha256Of(copy), before);
}

}  // namespace
}  // namespace ambrelic::cli
