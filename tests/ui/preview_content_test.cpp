// What the preview makes of a file's first bytes, and how the list keeps
// rows: texts of any length (one longer than a text block, lengths that
// take several bytes), every fact, the flags, through a sort and a clear.
#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"
#include "ui/preview_content.h"
#include "ui/results_list.h"
#include "ui/test_host.h"

namespace ambrelic::ui {
namespace {

TEST(PreviewContent, KindsEncodingsHexAndTheJpegInsideARawPhoto) {
  EXPECT_EQ(KindFromBytes(std::string("\xFF\xD8\xFF\xE0", 4)), "JPEG image");
  EXPECT_EQ(KindFromBytes(std::string("RIFF\x10\0\0\0WEBPVP8 ", 16)), "WebP image");
  EXPECT_EQ(KindFromBytes(std::string("RIFF\x10\0\0\0WAVEfmt ", 16)), "WAVE audio");
  EXPECT_EQ(KindFromBytes("%PDF-1.7\n"), "PDF document");
  EXPECT_EQ(KindFromBytes(std::string(512, '\0')), "only zeros");
  EXPECT_EQ(KindFromBytes("BM but too short"), "");
  EXPECT_EQ(KindFromBytes("plain words"), "");

  EXPECT_EQ(GuessTextEncoding("caf\xC3\xA9\n"), TextEncoding::Utf8);
  EXPECT_EQ(GuessTextEncoding("caf\xC3"), TextEncoding::Utf8) << "a character cut at the end of the preview";
  EXPECT_EQ(GuessTextEncoding("caf\xE9 cr\xE8me\r\n"), TextEncoding::Windows1252);
  EXPECT_EQ(GuessTextEncoding(std::string("\xFF\xFEh\0i\0", 6)), TextEncoding::Utf16Le);
  EXPECT_EQ(GuessTextEncoding(std::string("h\0e\0l\0l\0o\0", 10)), TextEncoding::Utf16Le);
  EXPECT_EQ(GuessTextEncoding(std::string("\0h\0e\0l\0l\0o", 10)), TextEncoding::Utf16Be);
  EXPECT_EQ(GuessTextEncoding(std::string("\x7F" "ELF\x02\x01\x01\0", 8)), TextEncoding::None);
  EXPECT_EQ(TextAsUtf8("caf\xE9", TextEncoding::Windows1252), "caf\xC3\xA9");
  EXPECT_EQ(TextAsUtf8(std::string("\xFF\xFEh\0\xE9\0", 6), TextEncoding::Utf16Le), "h\xC3\xA9");
  EXPECT_EQ(TextAsUtf8("\xEF\xBB\xBFok", TextEncoding::Utf8), "ok");

  EXPECT_EQ(HexDump("ABCDEFGHIJKLMNOPQ\n", 64),
            "00000000  41 42 43 44 45 46 47 48  49 4a 4b 4c 4d 4e 4f 50  |ABCDEFGHIJKLMNOP|\n"
            "00000010  51 0a                                             |Q.|\n");

  const std::string thumb = std::string("\xFF\xD8\xFF", 3) + "small" + std::string("\xFF\xD9", 2);
  const std::string big = std::string("\xFF\xD8\xFF", 3) + std::string(100, 'b') + std::string("\xFF\xD9", 2);
  const std::string raw = std::string("II*\0", 4) + std::string(20, 'x') + thumb + "gap" + big + "tail";
  EXPECT_EQ(EmbeddedJpeg(raw), big);
  EXPECT_EQ(EmbeddedJpeg(big), "") << "only inside a TIFF-based raw file";
}

TEST(ResultsListStorage, RowsOfAnyLengthKeepTheirTextsFactsAndFlags) {
  TestHost host;
  disk::OperationState op;
  ResultsList list(host);
  list.CreateColumns();
  list.Clear(op);
  list.AddFifthColumn(disk::FsKind::Ntfs);
  const std::string huge(5u << 20, 'h');   // longer than a text block
  const std::string long200(200, 'L');      // a length of two bytes
  constexpr int kRows = 40000;              // several blocks of facts
  for (int i = 0; i < kRows; ++i) {
    disk::FoundRow row;
    row.name = i == 7 ? huge : "name " + std::to_string(i) + (i % 3 ? ".txt" : "");
    row.folder = i % 2 ? long200 : "";
    row.size = i % 5 ? std::to_string(i) : "";
    row.isFolder = i % 5 == 0;
    row.modified = "01/02/2003 04:05";
    row.number = std::to_string(kRows - i);
    row.facts.size = static_cast<std::uint64_t>(i) * 3;
    row.facts.number = static_cast<std::uint64_t>(kRows - i);
    row.facts.condition.total = 10;
    row.facts.condition.free = static_cast<std::uint64_t>(i % 11);
    row.facts.created = disk::VolumeTime::Utc(1000 + i);
    list.AddRow(op, std::move(row));
  }
  list.SetSelected(9, true);
  auto check = [&](int r, int i) {
    const ResultRow row = list.Row(r);
    EXPECT_EQ(row.texts[0], i == 7 ? huge : "name " + std::to_string(i) + (i % 3 ? ".txt" : "")) << i;
    EXPECT_EQ(row.texts[1], i % 2 ? long200 : "") << i;
    EXPECT_EQ(row.texts[2], i % 5 ? std::to_string(i) : "") << i;
    EXPECT_EQ(row.texts[4], std::to_string(kRows - i)) << i;
    EXPECT_EQ(row.isFolder, i % 5 == 0) << i;
    EXPECT_EQ(list.IsFolder(r), i % 5 == 0) << i;
    EXPECT_EQ(row.selected, i == 9) << i;
    EXPECT_EQ(row.iconKey, i % 5 == 0 ? "folder" : (i % 3 && i != 7) ? ".txt" : "") << i;
    EXPECT_EQ(row.facts.size, static_cast<std::uint64_t>(i) * 3) << i;
    EXPECT_EQ(list.Facts(r).condition.free, static_cast<std::uint64_t>(i % 11)) << i;
    EXPECT_EQ(row.facts.created.utcSeconds, 1000 + i) << i;
  };
  for (int i : {0, 1, 6, 7, 8, 9, 16383, 16384, kRows - 1}) check(i, i);
  // Sorted by File No, the list is reversed; the rows keep everything.
  list.OnColumnClick(4);
  for (int i : {0, 7, 9, 16384, kRows - 1}) check(kRows - 1 - i, i);
  EXPECT_EQ(list.FirstSelected(), kRows - 1 - 9);
  EXPECT_LT(list.StorageBytes(), static_cast<std::size_t>(kRows) * 400 + (16u << 20));
  list.Clear(op);
  EXPECT_EQ(list.RowCount(), 0);
  EXPECT_EQ(list.StorageBytes(), 0u);
  EXPECT_EQ(list.CellText(0, 0), "");
}

}  // namespace
}  // namespace ambrelic::ui
