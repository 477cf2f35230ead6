// The entry handler on entries written byte by byte into a small volume.
#include <gtest/gtest.h>

#include "fat/directory_walk.h"
#include "fat_test_image.h"
#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::fat {
namespace {

using test::MemFat;

class EntryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ambrelic::test::UseUtf8Locale();
    platform::SetOemCodepage("CP437");
  }
  // Runs a search and returns the rows.
  std::vector<disk::FoundRow> Search(const std::string& filter = "", int zero = 0, int used = 0) {
    host = ambrelic::test::RecordingHost{};
    op = disk::OperationState{};
    op.nameFilter = filter;
    op.includeZeroSize = zero;
    op.listFilesOnUsedClusters = used;
    vol.ctx.fatWork = vol.ctx.fatCopy;
    SearchFat(vol.ctx, op, host);
    return host.rows;
  }
  std::vector<std::string> Names(const std::vector<disk::FoundRow>& rows) {
    std::vector<std::string> n;
    for (const auto& r : rows) n.push_back(r.name);
    return n;
  }

  MemFat vol;
  disk::OperationState op;
  ambrelic::test::RecordingHost host;
};

TEST(EntryText, ShortNamesAndDates) {
  bool lost = false;
  auto e = MemFat::Short("\xE5" "EPORT  DOC", 0x20, 3, 10);
  EXPECT_EQ(BuildShortNameBytes(e, lost), "$EPORT.DOC");
  EXPECT_TRUE(lost);
  e = MemFat::Short("\x05" "ABC    TXT", 0x20, 3, 10);
  EXPECT_EQ(BuildShortNameBytes(e, lost), "\x05" "ABC.TXT");
  EXPECT_FALSE(lost);
  e = MemFat::Short("NOEXT      ", 0x20, 3, 10);
  EXPECT_EQ(BuildShortNameBytes(e, lost), "NOEXT");
  e = MemFat::Short("A B     C  ", 0x20, 3, 10);
  EXPECT_EQ(BuildShortNameBytes(e, lost), "A B.C");

  EXPECT_EQ(FormatModified(0, 0), "00/00/1980 00:00");
  // 2010-01-01 12:34 (seconds are not shown).
  EXPECT_EQ(FormatModified((30 << 9) | (1 << 5) | 1, (12 << 11) | (34 << 5) | 7), "01/01/2010 12:34");
  // No range checks: month 15, day 31, hour 31, minute 63.
  EXPECT_EQ(FormatModified((127 << 9) | (15 << 5) | 31, (31 << 11) | (63 << 5)), "15/31/2107 31:63");

  std::array<std::uint8_t, 11> n;
  std::memcpy(n.data(), "REPORT  DOC", 11);
  std::uint8_t sum = 0;
  for (std::uint8_t b : n) sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + b);
  EXPECT_EQ(ShortNameChecksum(n), sum);
}

TEST_F(EntryTest, RowTextsOfRootEntries) {
  vol.Put(0, 0, MemFat::Short("\xE5" "EPORT  DOC", 0x20, 5, 1234, 0, 0));
  vol.Put(0, 1, MemFat::Short("LIVE    TXT", 0x20, 6, 10));
  vol.SetFat(6, -1);
  vol.Put(0, 2, MemFat::Short("\xE5" "OLDDIR    ", 0x10, 7, 0, (30 << 9) | (2 << 5) | 3, (4 << 11) | (5 << 5)));
  auto rows = Search();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, "$EPORT.DOC");
  EXPECT_EQ(rows[0].folder, "C:\\");
  EXPECT_EQ(rows[0].size, "1234");
  EXPECT_EQ(rows[0].modified, "00/00/1980 00:00");
  EXPECT_EQ(rows[0].number, "5");
  EXPECT_FALSE(rows[0].isFolder);
  EXPECT_EQ(rows[1].name, "$OLDDIR");
  EXPECT_EQ(rows[1].size, "");
  EXPECT_EQ(rows[1].modified, "02/03/2010 04:05");
  EXPECT_TRUE(rows[1].isFolder);
}

TEST_F(EntryTest, LongNamesChecksumsAndSlotLimits) {
  std::size_t i = 0;
  // Intact long name of a deleted file: its checksum uses the long name's
  // first character, upper-cased, for the lost one.
  i = vol.PutNamed(0, i, u"report of the year.doc", MemFat::Short("REPORT~1DOC", 0x20, 5, 10), true);
  // The long name belongs to another short name: fall back to the short name.
  {
    auto sum = MemFat::Checksum("OTHER   TXT");
    vol.Put(0, i++, MemFat::Long(0x41, u"mismatch.txt", 0, sum));
    auto e = MemFat::Short("\xE5" "ISMAT~1TXT", 0x20, 6, 10);
    vol.Put(0, i++, e);
  }
  // A short-only deleted entry, its first character lost.
  vol.Put(0, i++, MemFat::Short("\xE5" "EPORT  DOC", 0x20, 7, 10));
  auto rows = Search();
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0].name, "report of the year.doc");
  EXPECT_EQ(rows[1].name, "$ISMAT~1.TXT");
  EXPECT_EQ(rows[2].name, "$EPORT.DOC");
}

TEST_F(EntryTest, TwentyLongNameEntriesAndATwentyFirst) {
  // FAT32 so that the root can hold 20 + 1 + 21 + 1 entries in one cluster.
  vol = MemFat(disk::FsKind::Fat32, 40, 8);
  std::u16string name260;
  for (int k = 0; k < 260; ++k) name260 += static_cast<char16_t>(u'a' + k % 26);
  std::size_t i = vol.PutNamed(2, 0, name260, MemFat::Short("AAAAAA~1   ", 0x20, 5, 10), true);
  ASSERT_EQ(i, 21u);
  // 21 pending entries: the 21st restarts the slots, so only its 13
  // characters make the name (their checksum still matches).
  std::u16string name273 = name260 + u"ZYXWVUTSRQPON";
  auto shortEntry = MemFat::Short("ABBBBB~1   ", 0x20, 6, 10);
  const auto sum = MemFat::Checksum("ABBBBB~1   ");
  for (std::size_t p = 21; p > 0; --p) {
    auto lfn = MemFat::Long(static_cast<std::uint8_t>(p), name273, (p - 1) * 13, sum);
    lfn[0] = 0xE5;
    vol.Put(2, i++, lfn);
  }
  shortEntry[0] = 0xE5;
  vol.Put(2, i++, shortEntry);
  auto rows = Search();
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[0].name, std::string(name260.begin(), name260.end()));
  // The entry met last on disk holds characters 1-13 of the name.
  EXPECT_EQ(rows[1].name, "abcdefghijklm");
}

TEST_F(EntryTest, FilterRules) {
  std::size_t i = 0;
  i = vol.PutNamed(0, i, u"notes.txt", MemFat::Short("NOTES   TXT", 0x20, 5, 10), true);
  vol.Put(0, i++, MemFat::Short("\xE5" "EPORT  DOC", 0x20, 6, 10));
  vol.Put(0, i++, MemFat::Short("\xE5" "EADME  TXT", 0x20, 7, 10));
  vol.Put(0, i++, MemFat::Short("\xE5" "XPORT  DOC", 0x20, 8, 10));
  // The lost first character matches any first character of the filter.
  EXPECT_EQ(Names(Search("REPORT")), (std::vector<std::string>{"$EPORT.DOC"}));
  EXPECT_EQ(Names(Search("XEPORT")), (std::vector<std::string>{"$EPORT.DOC"}));
  EXPECT_EQ(Names(Search("EPORT")), (std::vector<std::string>{"$EPORT.DOC"}));
  EXPECT_EQ(Names(Search("XPORT")), (std::vector<std::string>{"$XPORT.DOC"}));
  EXPECT_EQ(Names(Search(".TXT")), (std::vector<std::string>{"notes.txt", "$EADME.TXT"}));
  EXPECT_EQ(Names(Search("NOTES")), (std::vector<std::string>{"notes.txt"}));
  EXPECT_TRUE(Search("ZZZ").empty());
}

TEST_F(EntryTest, SizeZeroAndUsedClusters) {
  vol.Put(0, 0, MemFat::Short("\xE5" "ERO    DAT", 0x20, 0xFFFF, 0));  // cluster field garbage
  vol.Put(0, 1, MemFat::Short("\xE5" "EUSED  BIN", 0x20, 9, 600));
  vol.Put(0, 2, MemFat::Short("\xE5" "ADCLUS BIN", 0x20, 9999, 600));
  vol.Put(0, 3, MemFat::Short("NEWER   BIN", 0x20, 9, 600));
  vol.Chain({9, 10});
  EXPECT_TRUE(Search().empty());
  EXPECT_EQ(Names(Search("", 1, 0)), (std::vector<std::string>{"$ERO.DAT"}));
  EXPECT_EQ(Names(Search("", 0, 1)), (std::vector<std::string>{"$EUSED.BIN"}));
  EXPECT_EQ(Names(Search("", 1, 1)), (std::vector<std::string>{"$ERO.DAT", "$EUSED.BIN"}));
}

TEST_F(EntryTest, InvalidShortNamesAreNoEntries) {
  vol.Put(0, 0, MemFat::Short("\xE5" "A.B    TXT", 0x20, 5, 10));   // '.' inside
  vol.Put(0, 1, MemFat::Short("\xE5" "A*B    TXT", 0x20, 5, 10));   // '*'
  auto withZero = MemFat::Short("\xE5" "AB     TXT", 0x20, 5, 10);
  withZero[4] = 0;
  vol.Put(0, 2, withZero);
  vol.Put(0, 3, MemFat::Short("\xE5" "GOOD   TXT", 0x20, 5, 10));
  EXPECT_EQ(Names(Search()), (std::vector<std::string>{"$GOOD.TXT"}));
}

TEST_F(EntryTest, OemAndUnicodeNames) {
  // CP437: 0x82 is é, 0x9A is Ü.
  vol.Put(0, 0, MemFat::Short("\xE5" "T\x82     TXT", 0x20, 5, 10));
  std::size_t i = 1;
  // 'x' and 254 CJK characters: 763 bytes of UTF-8, never cut short.
  std::u16string cjk = u"x" + std::u16string(254, u'\u65E5');
  i = vol.PutNamed(0, i, cjk, MemFat::Short("X______~1  ", 0x20, 6, 10), true);
  ASSERT_LE(i, 32u);
  vol.Put(0, i++, MemFat::Short("\xE5\x9A" "BER   TXT", 0x20, 7, 10));
  // A deleted long name starting with a non-ASCII letter: the short name
  // held its upper case as an OEM byte (0x90 is É).
  i = vol.PutNamed(0, i, u"\u00e9t\u00e9.txt", MemFat::Short("\x90T\x90     TXT", 0x20, 8, 10), true);
  auto rows = Search();
  ASSERT_EQ(rows.size(), 4u);
  EXPECT_EQ(rows[3].name, "\xC3\xA9t\xC3\xA9.txt");
  EXPECT_EQ(rows[0].name, "$T\xC3\xA9.TXT");
  EXPECT_EQ(rows[1].name.size(), 763u);
  EXPECT_EQ(rows[1].name.substr(0, 4), "x\xE6\x97\xA5");
  EXPECT_EQ(rows[2].name, "$\xC3\x9C" "BER.TXT");
  // The filter is matched against the upper-cased locale text.
  EXPECT_EQ(Names(Search("T\xC3\x89")), (std::vector<std::string>{"$T\xC3\xA9.TXT", "\xC3\xA9t\xC3\xA9.txt"}));
  platform::SetOemCodepage("CP850");
  EXPECT_EQ(Names(Search("T\xC3\x89")), (std::vector<std::string>{"$T\xC3\xA9.TXT", "\xC3\xA9t\xC3\xA9.txt"}));
  platform::SetOemCodepage("CP437");
}

TEST_F(EntryTest, HostileLongNamesGiveWayToShortNames) {
  // Live folders whose long names would lead a path out of its folder: they
  // are entered under their short names, as a failed checksum would be.
  std::size_t i = 0;
  i = vol.PutNamed(0, i, u"..", MemFat::Short("DOTDOT     ", 0x10, 5, 0), false);
  i = vol.PutNamed(0, i, u"a/b", MemFat::Short("SLASH      ", 0x10, 6, 0), false);
  i = vol.PutNamed(0, i, u"fine", MemFat::Short("FINE       ", 0x10, 7, 0), false);
  // A deleted file whose long name is "..": listed under its short name.
  i = vol.PutNamed(0, i, u"..", MemFat::Short(".          ", 0x20, 8, 10), true);
  for (Cluster c : {5u, 6u, 7u}) {
    vol.SetFat(c, -1);
    vol.Dots(c, 0);
    vol.Put(c, 2, MemFat::Short("\xE5" "NSIDE  TXT", 0x20, 20, 10));
  }
  std::vector<std::string> texts;
  for (const auto& r : Search()) texts.push_back(r.folder + "|" + r.name);
  EXPECT_EQ(texts, (std::vector<std::string>{"C:\\|$", "C:\\DOTDOT|$NSIDE.TXT", "C:\\SLASH|$NSIDE.TXT",
                                             "C:\\fine|$NSIDE.TXT"}));
}

}  // namespace
}  // namespace ambrelic::fat
