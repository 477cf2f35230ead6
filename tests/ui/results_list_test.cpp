#include "ui/results_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/text.h"
#include "support/test_support.h"
#include "ui/test_host.h"

namespace ambrelic::ui {
namespace {

disk::FoundRow Row(std::string name, std::string folder, std::string size, std::string modified,
                   std::string number, bool isFolder = false) {
  return {std::move(name), std::move(folder), std::move(size), std::move(modified), std::move(number), isFolder, {}};
}

class ResultsListTest : public ::testing::Test {
 protected:
  void SetUp() override {
    test::UseUtf8Locale();
    list.CreateColumns();
    list.Clear(op);
    list.AddFifthColumn(disk::FsKind::Fat16);
  }
  std::vector<std::string> Column(int c) {
    std::vector<std::string> out;
    for (int r = 0; r < list.RowCount(); ++r) out.push_back(list.CellText(r, c));
    return out;
  }
  TestHost host;
  disk::OperationState op;
  ResultsList list{host};
};

TEST_F(ResultsListTest, ColumnsAndFifthColumn) {
  ASSERT_EQ(list.Columns().size(), 5u);
  EXPECT_EQ(list.Columns()[0].header, "Name");
  EXPECT_EQ(list.Columns()[0].width, 110);
  EXPECT_EQ(list.Columns()[1].header, "In Folder");
  EXPECT_EQ(list.Columns()[1].width, 210);
  EXPECT_EQ(list.Columns()[2].header, "Size");
  EXPECT_EQ(list.Columns()[2].align, Align::Right);
  EXPECT_EQ(list.Columns()[3].header, "Modified");
  EXPECT_EQ(list.Columns()[4].header, "Cluster");
  EXPECT_EQ(list.Columns()[4].align, Align::Right);
  EXPECT_EQ(list.Columns()[4].width, 70);
  list.Clear(op);
  EXPECT_EQ(list.Columns().size(), 4u);
  list.AddFifthColumn(disk::FsKind::Ntfs);
  EXPECT_EQ(list.Columns()[4].header, "File No");
  EXPECT_EQ(list.Columns()[4].width, 90);
  EXPECT_EQ(list.Columns()[4].align, Align::Right);
}

TEST_F(ResultsListTest, CounterCountsUpAndClearShowsNoticeOnlyWithRows) {
  EXPECT_EQ(list.CounterText(), "0");
  EXPECT_EQ(host.noticeShows, 0) << "clearing an empty list shows no notice";
  list.AddRow(op, Row("A.TXT", "C:\\", "1", "01/01/2000 00:00", "2"));
  EXPECT_EQ(list.CounterText(), "1");
  list.AddRow(op, Row("B.TXT", "C:\\", "1", "01/01/2000 00:00", "3"));
  EXPECT_EQ(list.CounterText(), "2");
  EXPECT_EQ(op.FoundCount, 2);
  EXPECT_EQ(op.NextRow, 2);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"A.TXT", "B.TXT"}));
  list.Clear(op);
  EXPECT_EQ(host.noticeShows, 1);
  EXPECT_FALSE(host.noticeVisible);
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.CounterText(), "0");
  EXPECT_EQ(op.FoundCount, 0);
  EXPECT_EQ(op.NextRow, 0);
  list.Clear(op);
  EXPECT_EQ(host.noticeShows, 1);
}

TEST_F(ResultsListTest, AddRowNamesTheFileInTheOpenProgressAndKeysIcons) {
  struct Sink : disk::ProgressSink {
    void BeginCount(const std::string&, std::uint64_t) override {}
    void ShowFileLabel() override {}
    void SetFileName(const std::string& t) override { last = t; }
    bool Advance(std::uint64_t) override { return true; }
    bool TakeCancelRequest() override { return false; }
    std::string last;
  } sink;
  op.ActiveProgress = &sink;
  list.AddRow(op, Row("Photo.JPG", "C:\\", "5", "01/01/2000 00:00", "9"));
  list.AddRow(op, Row("Docs", "C:\\", "", "01/01/2000 00:00", "10", true));
  list.AddRow(op, Row("README", "C:\\", "5", "01/01/2000 00:00", "11"));
  EXPECT_EQ(sink.last, "README");
  EXPECT_EQ(list.Row(0).iconKey, ".jpg");
  EXPECT_EQ(list.Row(1).iconKey, "folder");
  EXPECT_TRUE(list.Row(1).isFolder);
  EXPECT_EQ(list.Row(2).iconKey, "");
  EXPECT_EQ(IconKeyFor("a.b.TaR", false), ".tar");
}

TEST_F(ResultsListTest, SortDirections) {
  list.AddRow(op, Row("b", "", "2", "", "1"));
  list.AddRow(op, Row("c", "", "3", "", "2"));
  list.AddRow(op, Row("a", "", "1", "", "3"));
  list.OnColumnClick(0);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"a", "b", "c"}));
  list.OnColumnClick(0);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"c", "b", "a"}));
  list.OnColumnClick(0);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"a", "b", "c"}));
  // Another column starts ascending whatever the previous direction was.
  list.OnColumnClick(0);
  list.OnColumnClick(4);
  EXPECT_EQ(Column(4), (std::vector<std::string>{"1", "2", "3"}));
  list.OnColumnClick(4);
  EXPECT_EQ(Column(4), (std::vector<std::string>{"3", "2", "1"}));
  EXPECT_EQ(host.waitCursorDepth, 0);
}

TEST_F(ResultsListTest, NumbersPaddedOrNotCompareEqualAndFoldersAreZero) {
  list.AddRow(op, Row("padded", "", "      12", "", "       7"));
  list.AddRow(op, Row("plain", "", "12", "", "7"));
  list.AddRow(op, Row("folder", "", "", "", "5", true));
  list.AddRow(op, Row("huge", "", "99999999999", "", "4294967296"));
  list.AddRow(op, Row("nine", "", "9", "", "6"));
  list.OnColumnClick(2);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"folder", "nine", "padded", "plain", "huge"}));
  list.OnColumnClick(2);
  // Equal keys keep their order in either direction.
  EXPECT_EQ(Column(0), (std::vector<std::string>{"huge", "padded", "plain", "nine", "folder"}));
  EXPECT_EQ(ParseUInt32Text("      12"), 12u);
  EXPECT_EQ(ParseUInt32Text(""), 0u);
  EXPECT_EQ(ParseUInt32Text("12abc"), 12u);
  EXPECT_EQ(ParseUInt32Text("4294967295"), 4294967295u);
  EXPECT_EQ(ParseUInt32Text("4294967296"), 4294967295u);
  EXPECT_EQ(ParseUInt32Text("123456789012345678901234567890"), 4294967295u);
}

TEST_F(ResultsListTest, DatesSortByYearFirst) {
  list.AddRow(op, Row("new", "", "", "01/01/2000 00:00", ""));
  list.AddRow(op, Row("old", "", "", "12/31/1999 23:59", ""));
  list.AddRow(op, Row("mid", "", "", "06/15/2000 12:30", ""));
  list.OnColumnClick(3);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"old", "new", "mid"}));
  list.OnColumnClick(3);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"mid", "new", "old"}));
  EXPECT_EQ(SortableModified("12/31/1999 23:59"), "1999/12/31 23:59");
  EXPECT_EQ(SortableModified("12/3"), "/12/3");

  // A text that is not a whole date (an NTFS time past the calendar leaves
  // it empty) sorts by its rearranged bytes, with the others as before.
  list.AddRow(op, Row("none", "", "", "", ""));
  list.AddRow(op, Row("far", "", "", "01/01/30828 00:00", ""));
  list.OnColumnClick(0);
  list.OnColumnClick(3);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"none", "old", "new", "mid", "far"}));
}

TEST_F(ResultsListTest, NamesSortCaseInsensitively) {
  list.AddRow(op, Row("abc", "", "", "", "1"));
  list.AddRow(op, Row("ABD", "", "", "", "2"));
  list.AddRow(op, Row("ABC", "", "", "", "3"));
  list.AddRow(op, Row("été", "", "", "", "4"));
  list.AddRow(op, Row("Zed", "", "", "", "5"));
  list.OnColumnClick(0);
  // "abc" and "ABC" are equal and keep their order; upper-cased "ÉTÉ" sorts
  // after the ASCII letters (byte order of UTF-8).
  EXPECT_EQ(Column(0), (std::vector<std::string>{"abc", "ABC", "ABD", "Zed", "été"}));
}

TEST_F(ResultsListTest, TextsSharingALongBeginningSortAsWholeTexts) {
  // Every folder begins with the same 24 bytes; some end there, some differ
  // only after 16 more, some only by case; the order is that of the whole
  // upper-cased texts, equal ones in the order they were found.
  const std::string head = "C:\\Documents\\Projects\\";
  const std::vector<std::string> folders = {head + "Zeta",
                                            head,
                                            head + "alpha beta gamma delta 2",
                                            head + "ALPHA BETA GAMMA DELTA 1",
                                            head + "alpha beta gamma delta 1",
                                            head + "Alpha",
                                            head + "alpha beta gamma delta",
                                            head + "été"};
  for (std::size_t i = 0; i < folders.size(); ++i) list.AddRow(op, Row("f", folders[i], "", "", std::to_string(i)));
  std::vector<std::size_t> expected(folders.size());
  for (std::size_t i = 0; i < expected.size(); ++i) expected[i] = i;
  std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
    return platform::UpperCase(folders[a]) < platform::UpperCase(folders[b]);
  });
  std::vector<std::string> ascending;
  for (std::size_t i : expected) ascending.push_back(std::to_string(i));
  list.OnColumnClick(1);
  EXPECT_EQ(Column(4), ascending);
  EXPECT_EQ(Column(4)[0], "1") << "the shortest text first";
  // Descending: the texts reversed, equal ones still in the order found.
  list.OnColumnClick(1);
  std::stable_sort(expected.begin(), expected.end(), [&](std::size_t a, std::size_t b) {
    return platform::UpperCase(folders[b]) < platform::UpperCase(folders[a]);
  });
  std::vector<std::string> descending;
  for (std::size_t i : expected) descending.push_back(std::to_string(i));
  EXPECT_EQ(Column(4), descending);
}

TEST_F(ResultsListTest, SelectionQueries) {
  for (int i = 0; i < 5; ++i) list.AddRow(op, Row("f" + std::to_string(i), "", "1", "", "2"));
  EXPECT_EQ(list.FirstSelected(), -1);
  EXPECT_EQ(list.SelectedCount(), 0);
  list.SetSelected(1, true);
  list.SetSelected(3, true);
  EXPECT_EQ(list.FirstSelected(), 1);
  EXPECT_EQ(list.NextSelected(1), 3);
  EXPECT_EQ(list.NextSelected(3), -1);
  EXPECT_EQ(list.SelectedCount(), 2);
  EXPECT_EQ(list.CellText(3, 0), "f3");
  EXPECT_EQ(list.CellText(9, 0), "");
  list.SetSelected(3, true);
  EXPECT_EQ(list.SelectedCount(), 2);
  list.SelectAll(true);
  EXPECT_EQ(list.SelectedCount(), 5);
  list.Clear(op);
  EXPECT_EQ(list.SelectedCount(), 0);
  EXPECT_EQ(list.FirstSelected(), -1);
}

// A sort changes the list's order, not where rows are kept: the selection
// goes with its rows, every reader sees the list's order, and a second sort
// keeps ties in the order the first one made (not the order of finding).
TEST_F(ResultsListTest, SortsKeepSelectionAndTiesInTheListsOrder) {
  list.AddRow(op, Row("d", "", "2", "", "1"));
  list.AddRow(op, Row("b", "", "1", "", "2"));
  list.AddRow(op, Row("c", "", "2", "", "3"));
  list.AddRow(op, Row("a", "", "1", "", "4"));
  list.SetSelected(0, true);  // d
  list.OnColumnClick(0);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"a", "b", "c", "d"}));
  EXPECT_EQ(list.FirstSelected(), 3);
  list.OnColumnClick(2);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"a", "b", "c", "d"}));
  list.OnColumnClick(2);
  EXPECT_EQ(Column(0), (std::vector<std::string>{"c", "d", "a", "b"}));
  EXPECT_EQ(list.FirstSelected(), 1);
  std::vector<std::string> read;
  for (const ResultRow& row : list.Rows()) read.push_back(row.texts[0]);
  EXPECT_EQ(read, Column(0));
  list.OnColumnClick(1);  // every folder text is empty: the order stands
  EXPECT_EQ(Column(0), (std::vector<std::string>{"c", "d", "a", "b"}));
}

TEST_F(ResultsListTest, AMillionRowsFillSortAndClear) {
  constexpr int kRows = 1000000;
  for (int i = 0; i < kRows; ++i) {
    list.AddRow(op, Row("FILE" + std::to_string(kRows - i) + ".TXT", "C:\\", std::to_string(i % 977), "01/01/2000 00:00",
                        std::to_string(i)));
  }
  EXPECT_EQ(list.CounterText(), "1000000");
  list.OnColumnClick(2);
  EXPECT_EQ(list.CellText(0, 2), "0");
  EXPECT_EQ(list.CellText(kRows - 1, 2), "976");
  list.Clear(op);
  EXPECT_EQ(list.RowCount(), 0);
}


// The list keeps facts packed; every value an engine gives must come back
// as it was, whether it packs (times of every kind, every flag) or not
// (UTC seconds beyond 62 bits, fields left beside a time of another kind),
// after a sort and after a check mends them.
void ExpectSameTime(const disk::VolumeTime& a, const disk::VolumeTime& b, const std::string& what) {
  EXPECT_EQ(a.kind, b.kind) << what;
  EXPECT_EQ(a.utcSeconds, b.utcSeconds) << what;
  EXPECT_EQ(a.year, b.year) << what;
  EXPECT_EQ(a.month, b.month) << what;
  EXPECT_EQ(a.day, b.day) << what;
  EXPECT_EQ(a.hour, b.hour) << what;
  EXPECT_EQ(a.minute, b.minute) << what;
  EXPECT_EQ(a.second, b.second) << what;
}

void ExpectSameFacts(const disk::RowFacts& a, const disk::RowFacts& b, const std::string& what) {
  EXPECT_EQ(a.size, b.size) << what;
  EXPECT_EQ(a.number, b.number) << what;
  EXPECT_EQ(a.condition.total, b.condition.total) << what;
  EXPECT_EQ(a.condition.free, b.condition.free) << what;
  EXPECT_EQ(a.condition.firstInUse, b.condition.firstInUse) << what;
  EXPECT_EQ(a.condition.resident, b.condition.resident) << what;
  EXPECT_EQ(a.condition.known, b.condition.known) << what;
  EXPECT_EQ(a.condition.unit, b.condition.unit) << what;
  EXPECT_EQ(a.condition.content, b.condition.content) << what;
  EXPECT_EQ(a.condition.contentPercent, b.condition.contentPercent) << what;
  EXPECT_EQ(a.condition.sharedWithNewer, b.condition.sharedWithNewer) << what;
  EXPECT_EQ(a.hasNameTimes, b.hasNameTimes) << what;
  EXPECT_EQ(a.noFatChain, b.noFatChain) << what;
  EXPECT_EQ(a.dataLength, b.dataLength) << what;
  EXPECT_EQ(a.validLength, b.validLength) << what;
  EXPECT_EQ(a.parent, b.parent) << what;
  ExpectSameTime(a.modified, b.modified, what + " modified");
  ExpectSameTime(a.written, b.written, what + " written");
  ExpectSameTime(a.accessed, b.accessed, what + " accessed");
  ExpectSameTime(a.changed, b.changed, what + " changed");
  ExpectSameTime(a.created, b.created, what + " created");
  ExpectSameTime(a.nameWritten, b.nameWritten, what + " nameWritten");
  ExpectSameTime(a.nameAccessed, b.nameAccessed, what + " nameAccessed");
  ExpectSameTime(a.nameChanged, b.nameChanged, what + " nameChanged");
  ExpectSameTime(a.nameCreated, b.nameCreated, what + " nameCreated");
}

TEST_F(ResultsListTest, FactsComeBackAsTheEngineGaveThem) {
  std::vector<disk::RowFacts> given(4);
  // Every field set, times of both kinds at the ends of their ranges.
  disk::RowFacts& full = given[0];
  full.size = 0xFFFFFFFFFFFFFFFFull;
  full.number = 0x123456789ABCDEFull;
  full.condition = {77, 5, true, true, false, disk::ConditionUnit::Record, disk::ContentCheck::Damaged, 63, true};
  full.modified = disk::VolumeTime::Local(2107, 12, 31, 23, 59, 58);
  full.written = disk::VolumeTime::Utc(-11644473600);  // 1601
  full.accessed = disk::VolumeTime::Utc((std::int64_t{1} << 61) - 1);
  full.changed = disk::VolumeTime::Utc(-(std::int64_t{1} << 61));
  full.created = disk::VolumeTime::Local(65535, 255, 255, 255, 255, 255);
  full.hasNameTimes = true;
  full.noFatChain = true;
  full.nameWritten = disk::VolumeTime::Utc(1700000000);
  full.nameAccessed = disk::VolumeTime::Local(0, 0, 0, 0, 0, 0);
  full.nameChanged = disk::VolumeTime::Utc(0);
  full.nameCreated = disk::VolumeTime::Utc(1);
  full.dataLength = 3000;
  full.validLength = 2999;
  full.parent = 0xFFFFFFFEu;  // the widest parent that packs
  // Seconds beyond what a packed time holds.
  given[1].written = disk::VolumeTime::Utc(INT64_MAX);
  given[1].condition.known = false;
  given[1].parent = 5;
  given[2].parent = 0xFFFFFFFFu;  // not the kNoFolder of given[3]
  // A time of no kind with fields left in it.
  given[2].created.utcSeconds = 42;
  given[2].created.minute = 7;
  // Nothing at all.
  for (std::size_t i = 0; i < given.size(); ++i) {
    disk::FoundRow row = Row("f" + std::to_string(3 - i), "C:\\", "1", "01/01/2020 00:00", std::to_string(i));
    row.facts = given[i];
    list.AddRow(op, row);
  }
  list.OnColumnClick(0);  // by name: the rows now stand in reverse
  for (int r = 0; r < list.RowCount(); ++r) {
    const std::size_t i = 3 - static_cast<std::size_t>(r);
    ASSERT_EQ(list.CellText(r, 4), std::to_string(i));
    ExpectSameFacts(list.Facts(r), given[i], "row " + std::to_string(i));
    ExpectSameFacts(list.Row(r).facts, given[i], "whole row " + std::to_string(i));
  }
  // A check mends them in place, packed or not.
  for (int r = 0; r < list.RowCount(); ++r) {
    const std::size_t i = 3 - static_cast<std::size_t>(r);
    given[i].condition.content = disk::ContentCheck::Verified;
    given[i].condition.free = 9;
    given[(i + 1) % 4].written = given[i].written;
  }
  // A parent too wide to pack moves a packed row's facts beside the table.
  given[3].parent = std::uint64_t{1} << 40;
  for (int r = 0; r < list.RowCount(); ++r) list.SetFacts(r, given[3 - static_cast<std::size_t>(r)]);
  for (int r = 0; r < list.RowCount(); ++r) {
    const std::size_t i = 3 - static_cast<std::size_t>(r);
    ExpectSameFacts(list.Facts(r), given[i], "mended row " + std::to_string(i));
  }
  ExpectSameFacts(list.Facts(99), disk::RowFacts(), "past the end");
}

}  // namespace
}  // namespace ambrelic::ui
