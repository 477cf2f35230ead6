// The MFT walk on hand-built volumes: which deleted records become rows,
// their five texts, folder paths (reused parents, cycles), the filter and
// the zero-size option, the progress calls and cancel.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "ntfs/mft_scan.h"
#include "ntfs_builder.h"
#include "support/test_support.h"

namespace ambrelic::ntfs {
namespace {

using testing::ByteVec;
using testing::FileNameAttr;
using testing::kDirectory;
using testing::kInUse;
using testing::NonResident;
using testing::NonResidentAttr;
using testing::RecordBuilder;
using testing::ResidentAttr;
using testing::StandardInfoAttr;
using testing::VolumeBuilder;

// 2021-03-04 05:06:07 UTC as a file time.
constexpr std::uint64_t kMarch2021 = (1614834367ULL + 11644473600ULL) * 10000000ULL;

class ScopedTz {
 public:
  explicit ScopedTz(const char* tz) {
    const char* old = std::getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  ~ScopedTz() {
    if (had_) ::setenv("TZ", old_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }

 private:
  bool had_ = false;
  std::string old_;
};

ByteVec Deleted(std::uint64_t parent, const std::u16string& name, const ByteVec& data = ResidentAttr(0x80, {1, 2, 3}),
                std::uint16_t flags = 0, std::uint64_t time = kMarch2021) {
  RecordBuilder r(flags);
  r.Add(StandardInfoAttr(time)).Add(FileNameAttr(parent, name));
  if (!data.empty()) r.Add(data);
  return r.Build();
}

ByteVec Folder(std::uint64_t parent, const std::u16string& name, bool inUse = false) {
  return Deleted(parent, name, {}, static_cast<std::uint16_t>(kDirectory | (inUse ? kInUse : 0)));
}

struct Scan {
  explicit Scan(disk::VolumeContext c) : ctx(std::move(c)) {}
  std::vector<disk::FoundRow>& Run(const std::string& filter = "", bool zero = false) {
    op.nameFilter = filter;
    op.includeZeroSize = zero ? 1 : 0;
    ScanMft(ctx, op, host, 0, "");
    return host.rows;
  }
  // The row of that name; a missing row fails the test and reads as an
  // empty one.
  const disk::FoundRow* Row(const std::string& name) const {
    static const disk::FoundRow missing;
    for (const auto& r : host.rows)
      if (r.name == name) return &r;
    ADD_FAILURE() << "no row named " << name;
    return &missing;
  }
  disk::VolumeContext ctx;
  disk::OperationState op;
  test::RecordingHost host;
};

class NtfsScan : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }
  ScopedTz tz_{"UTC0"};
};

TEST_F(NtfsScan, RowTextsOfFilesAndFolders) {
  VolumeBuilder b;
  b.SetRecord(20, Deleted(5, u"readme.txt"));
  b.SetRecord(21, Folder(5, u"old folder"));
  b.SetRecord(22, Deleted(21, u"inside.doc", ResidentAttr(0x80, ByteVec(300, 'x'))));
  b.SetRecord(23, RecordBuilder(kInUse).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"live.txt")).Build(), true);
  b.SetRecord(24, RecordBuilder(0).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"free but in bitmap")).Build(), true);
  b.SetRecord(25, RecordBuilder(kInUse).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"in use, bit clear")).Build());
  Scan s(b.Build());
  s.Run();
  ASSERT_EQ(s.host.rows.size(), 3u);
  const auto& f = s.host.rows[0];
  EXPECT_EQ(f.name, "readme.txt");
  EXPECT_EQ(f.folder, "C:\\");
  EXPECT_EQ(f.size, "       3");
  EXPECT_EQ(f.modified, "03/04/2021 05:06");
  EXPECT_EQ(f.number, "      20");
  EXPECT_FALSE(f.isFolder);
  const auto& d = s.host.rows[1];
  EXPECT_EQ(d.name, "old folder");
  EXPECT_EQ(d.size, "");
  EXPECT_TRUE(d.isFolder);
  EXPECT_EQ(d.number, "      21");
  EXPECT_EQ(s.host.rows[2].folder, "C:\\old folder");
  EXPECT_EQ(s.host.rows[2].size, "     300");
  EXPECT_EQ(s.op.ActiveProgress, nullptr);
}

TEST_F(NtfsScan, ModifiedFollowsTheLocalTimeZone) {
  EXPECT_EQ(FormatFileTime(kMarch2021), "03/04/2021 05:06");
  {
    ScopedTz tokyo("JST-9");
    EXPECT_EQ(FormatFileTime(kMarch2021), "03/04/2021 14:06");
  }
  {
    ScopedTz newYork("EST5");
    EXPECT_EQ(FormatFileTime(kMarch2021), "03/04/2021 00:06");
  }
  EXPECT_EQ(FormatFileTime(0), "01/01/1601 00:00");
  EXPECT_EQ(FormatFileTime(0x8000000000000000ULL), "");
}

TEST_F(NtfsScan, SizesAreSixtyFourBitAndZeroSizeFollowsTheOption) {
  VolumeBuilder b;
  auto sparse = [](std::uint64_t size) {
    const std::uint64_t clusters = (size + 4095) / 4096;
    return NonResidentAttr({.runs = VolumeBuilder::RunBytes(clusters, 0), .highestVcn = clusters - 1,
                            .allocated = clusters * 4096, .real = size, .initialized = 0});
  };
  b.SetRecord(20, Deleted(5, u"five-past-4g.bin", sparse(0x100000005ULL)));
  b.SetRecord(21, Deleted(5, u"exactly-4g.bin", sparse(0x100000000ULL)));
  b.SetRecord(22, Deleted(5, u"empty.txt", ResidentAttr(0x80, {})));
  b.SetRecord(23, Deleted(5, u"nodata.txt", {}));
  b.SetRecord(24, Deleted(5, u"big.bin", sparse(123456789012ULL)));
  Scan s(b.Build());
  s.Run();
  ASSERT_EQ(s.host.rows.size(), 3u);
  EXPECT_EQ(s.Row("five-past-4g.bin")->size, "4294967301");
  EXPECT_EQ(s.Row("exactly-4g.bin")->size, "4294967296");
  EXPECT_EQ(s.Row("big.bin")->size, "123456789012");
  s.host.rows.clear();
  s.Run("", true);
  ASSERT_EQ(s.host.rows.size(), 5u);
  EXPECT_EQ(s.Row("empty.txt")->size, "       0");
  EXPECT_EQ(s.Row("nodata.txt")->size, "       0");
}

TEST_F(NtfsScan, FilterIsASubstringOfTheUpperCasedName) {
  VolumeBuilder b;
  b.SetRecord(20, Deleted(5, u"readme.txt"));
  b.SetRecord(21, Deleted(5, u"Txtfile.doc"));
  b.SetRecord(22, Deleted(5, u"other.doc"));
  b.SetRecord(23, Deleted(5, u"straße.txt"));
  Scan s(b.Build());
  s.Run("TXT");
  ASSERT_EQ(s.host.rows.size(), 3u);
  EXPECT_EQ(s.host.rows[0].name, "readme.txt");
  EXPECT_EQ(s.host.rows[1].name, "Txtfile.doc");
  s.host.rows.clear();
  s.Run("STRAßE");
  ASSERT_EQ(s.host.rows.size(), 1u);
  s.host.rows.clear();
  s.Run("");
  EXPECT_EQ(s.host.rows.size(), 4u);
}

TEST_F(NtfsScan, RecordsWithoutANameOrTimeGiveNoRow) {
  VolumeBuilder b;
  b.SetRecord(20, RecordBuilder(0).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"DOS~1.TXT", 2)).Add(ResidentAttr(0x80, {1})).Build());
  b.SetRecord(21, RecordBuilder(0).Add(FileNameAttr(5, u"no-si.txt")).Add(ResidentAttr(0x80, {1})).Build());
  b.SetRecord(22, RecordBuilder(0).Add(StandardInfoAttr()).Add(ResidentAttr(0x80, {1})).Build());
  ByteVec notAFile = Deleted(5, u"bad-signature.txt");
  notAFile[0] = 'B';
  b.SetRecord(23, notAFile);
  Scan s(b.Build());
  EXPECT_TRUE(s.Run("", true).empty());
}

TEST_F(NtfsScan, FoldersOfDeletedTreesAndReusedParents) {
  VolumeBuilder b;
  // C:\a\b\file.txt with a and b deleted too.
  b.SetRecord(20, Folder(5, u"a"));
  b.SetRecord(21, Folder(20, u"b"));
  b.SetRecord(22, Deleted(21, u"file.txt"));
  // Parent record 30 now holds a file.
  b.SetRecord(30, RecordBuilder(kInUse).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"reuser")).Build(), true);
  b.SetRecord(31, Deleted(30, u"orphan.txt"));
  // Grandparent 32 now holds a file; parent 33 is a deleted folder.
  b.SetRecord(32, RecordBuilder(kInUse).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"reuser2")).Build(), true);
  b.SetRecord(33, Folder(32, u"p"));
  b.SetRecord(34, Deleted(33, u"grandchild.txt"));
  // A parent that is not a file record at all.
  b.SetRecord(35, Deleted(60, u"nowhere.txt"));
  // A parent folder without a name: the path so far, without the root.
  b.SetRecord(36, RecordBuilder(kDirectory).Add(StandardInfoAttr()).Build());
  b.SetRecord(37, Folder(36, u"under-nameless"));
  b.SetRecord(38, Deleted(37, u"deep.txt"));
  Scan s(b.Build());
  s.Run();
  EXPECT_EQ(s.Row("file.txt")->folder, "C:\\a\\b");
  EXPECT_EQ(s.Row("b")->folder, "C:\\a");
  EXPECT_EQ(s.Row("orphan.txt")->folder, "C:\\<unknown>");
  EXPECT_EQ(s.Row("grandchild.txt")->folder, "C:\\<不明>\\p");
  EXPECT_EQ(s.Row("nowhere.txt")->folder, "C:\\<unknown>");
  EXPECT_EQ(s.Row("deep.txt")->folder, "under-nameless");
  EXPECT_EQ(s.Row("under-nameless")->folder, "C:\\");
  EXPECT_EQ(LostFolderMark(), "<\xE4\xB8\x8D\xE6\x98\x8E>\\");
}

TEST_F(NtfsScan, ParentCyclesEnd) {
  VolumeBuilder b;
  // Two folders with empty names that are each other's parent: the path
  // never grows, so only the step bound ends the walk.
  b.SetRecord(20, Folder(21, u""));
  b.SetRecord(21, Folder(20, u""));
  b.SetRecord(22, Deleted(20, u"in-empty-cycle.txt"));
  // A folder that is its own parent, with a name: the path length ends it.
  b.SetRecord(23, Folder(23, u"loop"));
  b.SetRecord(24, Deleted(23, u"in-named-cycle.txt"));
  Scan s(b.Build());
  s.Run();
  EXPECT_EQ(s.Row("in-empty-cycle.txt")->folder, "C:\\<unknown>");
  const std::string named = s.Row("in-named-cycle.txt")->folder;
  EXPECT_EQ(named.rfind("C:\\<不明>\\loop\\loop", 0), 0u) << named;
  EXPECT_LE(named.size(), 3 + LostFolderMark().size() + 525);
  // Direct calls: the bound can be given, and the stop record is reported.
  std::string path;
  EXPECT_FALSE(BuildFolderPath(s.ctx, path, 20, 5, 3));
  EXPECT_EQ(path, "C:\\<unknown>");
  path.clear();
  EXPECT_TRUE(BuildFolderPath(s.ctx, path, 23, 23));
  EXPECT_EQ(path, "");
}

TEST_F(NtfsScan, NamesKeepEverythingAroundAnUnpairedSurrogate) {
  VolumeBuilder b;
  b.SetRecord(20, Deleted(5, std::u16string(u"ab") + char16_t(0xD800) + u"cd.txt"));
  b.SetRecord(21, Deleted(5, std::u16string(u"x") + char16_t(0) + u"y.txt"));
  Scan s(b.Build());
  s.Run();
  ASSERT_EQ(s.host.rows.size(), 2u);
  const std::string& n = s.host.rows[0].name;
  EXPECT_EQ(n.rfind("ab", 0), 0u);
  EXPECT_GT(n.size(), std::string("abcd.txt").size());
  EXPECT_EQ(n.substr(n.size() - 6), "cd.txt");
  EXPECT_EQ(s.host.rows[1].name, std::string("x\0y.txt", 7));
}

TEST_F(NtfsScan, ProgressCountsFreeRecordsAndCancelStops) {
  VolumeBuilder b;
  for (std::uint32_t n = 20; n < 30; ++n) b.SetRecord(n, Deleted(5, u"f" + std::u16string(1, u'0' + (n - 20))));
  b.SetRecord(30, RecordBuilder(kInUse).Add(StandardInfoAttr()).Add(FileNameAttr(5, u"live")).Build(), true);
  Scan s(b.Build());
  s.Run();
  ASSERT_EQ(s.host.progress.size(), 1u);
  const auto& log = *s.host.progress[0];
  EXPECT_EQ(log.label, "File No:");
  EXPECT_EQ(log.total, 63u);
  EXPECT_TRUE(log.fileLabelShown);
  EXPECT_TRUE(log.closed);
  // Records 0-15 and 30 are in use: 47 positions, without 30.
  EXPECT_EQ(log.positions.size(), 47u);
  EXPECT_EQ(log.positions.front(), 16u);
  EXPECT_EQ(std::count(log.positions.begin(), log.positions.end(), 30u), 0);
  EXPECT_EQ(log.fileNames.size(), 10u) << "the host shows the names, not the engine";

  Scan c(b.Build());
  c.host.cancelAfterChecks = 7;  // the eighth Advance (record 23) cancels
  c.Run();
  EXPECT_EQ(c.host.rows.size(), 4u);
  EXPECT_EQ(c.host.progress[0]->positions.back(), 23u);
  EXPECT_EQ(c.op.ActiveProgress, nullptr);
}

TEST_F(NtfsScan, ShortOrMissingMftBitmapHidesTheRecordsItDoesNotCover) {
  VolumeBuilder b;
  b.SetRecord(20, Deleted(5, u"covered"));
  b.SetRecord(40, Deleted(5, u"not covered"));
  b.SetSelfBitmap(ResidentAttr(0xB0, {0xFF, 0xFF, 0x00, 0x00}));  // 32 records
  Scan s(b.Build());
  s.Run();
  ASSERT_EQ(s.host.rows.size(), 1u);
  EXPECT_EQ(s.host.rows[0].name, "covered");
  VolumeBuilder none;
  none.SetRecord(20, Deleted(5, u"covered"));
  none.SetSelfBitmap(ByteVec{});
  Scan t(none.Build());
  EXPECT_TRUE(t.Run().empty());
}

TEST_F(NtfsScan, RestoreModeLeavesTheSearchAlone) {
  VolumeBuilder b;
  b.SetRecord(20, Deleted(5, u"a.txt"));
  Scan s(b.Build());
  s.op.OperationMode = disk::OpRestore;
  ScanMft(s.ctx, s.op, s.host, 21, "/tmp/none");
  EXPECT_TRUE(s.host.rows.empty());
  s.op.OperationMode = disk::OpReplaceInfo;
  ScanMft(s.ctx, s.op, s.host, 0, "");
  EXPECT_TRUE(s.host.rows.empty());
  EXPECT_EQ(s.host.progress.size(), 2u);
}

}  // namespace
}  // namespace ambrelic::ntfs
