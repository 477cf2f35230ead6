// The condition's classes and texts, the bitmap count, and the times as
// other tools read them.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "disk/row_facts.h"

namespace ambrelic::disk {
namespace {

RowCondition Counted(std::uint64_t total, std::uint64_t free, bool firstInUse = false) {
  RowCondition c;
  c.total = total;
  c.free = free;
  c.firstInUse = firstInUse;
  return c;
}

TEST(RowCondition, ClassesPercentagesAndTexts) {
  EXPECT_EQ(Classify(Counted(12, 12)), Condition::Intact);
  EXPECT_EQ(ConditionText(Counted(12, 12)), "12 of 12 clusters still free");
  EXPECT_EQ(Classify(Counted(10, 6)), Condition::Partial);
  EXPECT_EQ(PercentFree(Counted(10, 6)), 60);
  EXPECT_EQ(PercentFree(Counted(3, 2)), 66) << "rounded down";
  EXPECT_EQ(PercentFree(Counted(1000, 1)), 1) << "a free cluster is never 0 %";
  EXPECT_EQ(PercentFree(Counted(1000, 999)), 99) << "a lost cluster is never 100 %";
  EXPECT_EQ(Classify(Counted(3, 0)), Condition::Overwritten);
  EXPECT_EQ(PercentFree(Counted(3, 0)), 0);
  // The first cluster in use: overwritten, whatever else is free.
  EXPECT_EQ(Classify(Counted(10, 7, true)), Condition::Overwritten);
  EXPECT_EQ(PercentFree(Counted(10, 7, true)), 70);
  EXPECT_EQ(ConditionText(Counted(10, 7, true)), "7 of 10 clusters still free, the first one in use");
  // Nothing to read: intact.
  EXPECT_EQ(Classify(RowCondition{}), Condition::Intact);
  EXPECT_EQ(PercentFree(RowCondition{}), 100);
  EXPECT_EQ(ConditionText(RowCondition{}), "empty file");
  RowCondition resident;
  resident.resident = true;
  EXPECT_EQ(Classify(resident), Condition::Intact);
  EXPECT_EQ(ConditionText(resident), "data held in the file record");
  RowCondition record = Counted(1, 1);
  record.unit = ConditionUnit::Record;
  EXPECT_EQ(ConditionText(record), "1 of 1 record still free");
  EXPECT_EQ(ConditionText(Counted(1, 0)), "0 of 1 cluster still free");
  RowCondition unknown = Counted(5, 5);
  unknown.known = false;
  EXPECT_EQ(Classify(unknown), Condition::Overwritten) << "nothing is promised";
  EXPECT_EQ(std::string(ConditionName(Condition::Partial)), "partial");
}

TEST(RowCondition, ClearBitsOfABitmapRange) {
  const std::uint8_t bits[] = {0b00000101, 0xFF, 0x00, 0b10000000};
  const Bytes b(bits, sizeof bits);
  EXPECT_EQ(CountClearBits(b, 0, 8), 6u);
  EXPECT_EQ(CountClearBits(b, 1, 2), 1u);
  EXPECT_EQ(CountClearBits(b, 4, 20), 4u + 0u + 8u);
  EXPECT_EQ(CountClearBits(b, 24, 8), 7u);
  // Past the end: in use.
  EXPECT_EQ(CountClearBits(b, 30, 100), 1u);
  EXPECT_EQ(CountClearBits(b, 32, 5), 0u);
  EXPECT_EQ(CountClearBits(b, UINT64_MAX - 3, 10), 0u);
  EXPECT_EQ(CountClearBits(b, 0, UINT64_MAX), 6u + 0u + 8u + 7u);
}

class Times : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    saved_ = tz ? tz : "";
    hadTz_ = tz != nullptr;
  }
  void TearDown() override {
    if (hadTz_) ::setenv("TZ", saved_.c_str(), 1);
    else ::unsetenv("TZ");
    ::tzset();
  }
  static void Zone(const char* tz) {
    ::setenv("TZ", tz, 1);
    ::tzset();
  }
  std::string saved_;
  bool hadTz_ = false;
};

TEST_F(Times, LocalFieldsAndUtcSecondsInIso8601) {
  Zone("CET-1CEST,M3.5.0,M10.5.0/3");
  // 2010-01-01 12:00:00 UTC.
  EXPECT_EQ(Iso8601Local(VolumeTime::Utc(1262347200)), "2010-01-01T13:00:00+01:00");
  EXPECT_EQ(Iso8601Local(VolumeTime::Utc(1278000000)), "2010-07-01T18:00:00+02:00") << "summer time";
  // A FAT time is local: the same fields, with the zone's offset of that date.
  const VolumeTime fat = VolumeTime::Local(2024, 5, 6, 7, 8, 58);
  EXPECT_EQ(Iso8601Local(fat), "2024-05-06T07:08:58+02:00");
  EXPECT_EQ(*UnixSeconds(fat), 1714972138);
  Zone("UTC0");
  EXPECT_EQ(Iso8601Local(fat), "2024-05-06T07:08:58+00:00");
  Zone("EST5");
  EXPECT_EQ(Iso8601Local(VolumeTime::Utc(0)), "1969-12-31T19:00:00-05:00");
}

TEST_F(Times, FieldsThatNameNoMomentHaveNone) {
  Zone("UTC0");
  EXPECT_FALSE(UnixSeconds(VolumeTime{}));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(1980, 0, 0, 0, 0, 0))) << "00/00/1980";
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2023, 2, 29, 0, 0, 0)));
  EXPECT_TRUE(UnixSeconds(VolumeTime::Local(2024, 2, 29, 0, 0, 0)));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2024, 4, 31, 0, 0, 0)));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2024, 13, 1, 0, 0, 0)));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2024, 1, 1, 24, 0, 0)));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2024, 1, 1, 23, 60, 0)));
  EXPECT_FALSE(UnixSeconds(VolumeTime::Local(2024, 1, 1, 23, 59, 60))) << "FAT seconds field 30";
  EXPECT_EQ(Iso8601Local(VolumeTime::Local(1980, 0, 0, 0, 0, 0)), "");
}

}  // namespace
}  // namespace ambrelic::disk
