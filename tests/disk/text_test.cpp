#include <gtest/gtest.h>

#include "platform/text.h"
#include "support/test_support.h"

namespace ambrelic::platform {

class TextTest : public ::testing::Test {
 protected:
  void SetUp() override { test::UseUtf8Locale(); }
};

TEST_F(TextTest, Utf16NamesBecomeUtf8AndUnpairedSurrogatesAreReplaced) {
  EXPECT_EQ(Utf16ToLocale(u"notes.txt"), "notes.txt");
  EXPECT_EQ(Utf16ToLocale(u"\u4e0d\u660e.doc"), "\xe4\xb8\x8d\xe6\x98\x8e.doc");
  EXPECT_EQ(Utf16ToLocale(u"\U0001F600"), "\xf0\x9f\x98\x80");
  std::u16string broken = u"ab";
  broken += static_cast<char16_t>(0xD800);
  broken += u"cd";
  EXPECT_EQ(Utf16ToLocale(broken), "ab\xef\xbf\xbd" "cd");
  std::u16string lowOnly = u"x";
  lowOnly += static_cast<char16_t>(0xDC00);
  EXPECT_EQ(Utf16ToLocale(lowOnly), "x\xef\xbf\xbd");
}

TEST_F(TextTest, OemBytesFollowTheCodepage) {
  SetOemCodepage("CP437");
  EXPECT_EQ(OemToLocale("README"), "README");
  EXPECT_EQ(OemToLocale("\x82T\x90"), "\xc3\xa9T\xc3\x89");  // éTÉ
  SetOemCodepage("CP850");
  EXPECT_EQ(OemToLocale("\xb5"), "\xc3\x81");  // Á in CP850
  SetOemCodepage("CP437");
  EXPECT_TRUE(OemCodepageSupported("CP850"));
  EXPECT_FALSE(OemCodepageSupported("NO-SUCH-CODEPAGE"));
}

TEST_F(TextTest, UpperCaseIsMultibyteAware) {
  EXPECT_EQ(UpperCase("notes.txt"), "NOTES.TXT");
  EXPECT_EQ(UpperCase("\xc3\xa9t\xc3\xa9"), "\xc3\x89T\xc3\x89");  // été -> ÉTÉ
  EXPECT_EQ(UpperCase("a\xff" "b"), "A\xff" "B");  // stray byte kept
  EXPECT_EQ(CharCount("\xc3\xa9t\xc3\xa9"), 3u);
  EXPECT_EQ(LocaleToUtf16("\xc3\xa9t").size(), 2u);
}

TEST_F(TextTest, Utf16UnitsCountCharactersWhateverTheirScript) {
  EXPECT_EQ(Utf16Units(""), 0u);
  EXPECT_EQ(Utf16Units("C:\\notes.txt"), 12u);
  EXPECT_EQ(Utf16Units("\xc3\xa9t\xc3\xa9"), 3u);                 // été
  EXPECT_EQ(Utf16Units("\xe5\x90\x8d\xe5\x89\x8d"), 2u);          // 名前
  EXPECT_EQ(Utf16Units("\xf0\x9f\x98\x80"), 2u);                   // a surrogate pair
  // Bytes that start no character count one each.
  EXPECT_EQ(Utf16Units("a\xff" "b"), 3u);
  EXPECT_EQ(Utf16Units("\xe5\x90"), 2u);
  EXPECT_EQ(Utf16Units("\x80\xc0\xaf"), 3u);
  const std::string mixed = "x\xc3\xa9\xe6\x96\x87\xf0\x9f\x98\x80";
  EXPECT_EQ(Utf16Units(mixed), LocaleToUtf16(mixed).size());
}

}  // namespace ambrelic::platform
