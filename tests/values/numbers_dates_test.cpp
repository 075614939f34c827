#include <gtest/gtest.h>

#include "values/values.h"

namespace tessaro {
namespace {

TEST(Numbers, RoundDivideAnd) {
  const struct {
    double value;
    std::int32_t places;
    double expected;
  } rounds[] = {
      {2.5, 0, 3},       {-2.5, 0, -3},   {2.675, 2, 2.68}, {1250, -2, 1300}, {0, 3, 0},
      {1.4999, 0, 1},    {-1.005, 2, -1.01}, {1249, -2, 1200}, {0.5, 0, 1},
  };
  for (const auto& r : rounds) {
    SCOPED_TRACE(r.value);
    EXPECT_DOUBLE_EQ(RoundNumber(r.value, r.places), r.expected);
  }
  EXPECT_EQ(IntegerDivide(7, 2), 3);
  EXPECT_EQ(IntegerDivide(-7, 2), -3);
  EXPECT_EQ(BitAnd({0x0F, 0x3C}), 0x0C);
  EXPECT_EQ(BitAnd({-1, 0x7FFFFFFF, 0x10}), 0x10);
}

TEST(DateTime, MakeAndFields) {
  const struct {
    int y, m, d, hh, mm, ss;
    int ey, em, ed;
  } cases[] = {
      {2014, 2, 30, 0, 0, 0, 2014, 2, 28},   {2000, 2, 31, 0, 0, 0, 2000, 2, 29},
      {1900, 2, 29, 0, 0, 0, 1900, 2, 28},   {99, 13, 0, 0, 0, 0, 100, 12, 1},
      {10000, 1, 40, 0, 0, 0, 9999, 1, 31},  {1899, 12, 29, 6, 0, 0, 1899, 12, 29},
  };
  for (const auto& c : cases) {
    const DateTimeValue dt = MakeDateTime(c.y, c.m, c.d, c.hh, c.mm, c.ss);
    EXPECT_EQ(YearOf(dt), c.ey);
    EXPECT_EQ(MonthOf(dt), c.em);
    EXPECT_EQ(DayOf(dt), c.ed);
    EXPECT_EQ(HourOf(dt), c.hh);
  }
  EXPECT_EQ(MakeDateTime(2000, 1, 1).days, 36526);
  EXPECT_EQ(DayOfWeekOf(MakeDateTime(2000, 1, 1)), 7);  // a Saturday
  EXPECT_EQ(MakeDateTime(1899, 12, 30).days, 0);
  EXPECT_EQ(MakeDateTime(100, 1, 1).days, kMinDateTime);
  EXPECT_EQ(MakeDateTime(9999, 12, 31).days, kMaxDateTime);
  EXPECT_DOUBLE_EQ(MakeDateTime(1899, 12, 29, 6).days, -1.25);
  const DateTimeValue t = MakeDateTime(1999, 1, 1, 23, 59, 59);
  EXPECT_EQ(HourOf(t), 23);
  EXPECT_EQ(MinuteOf(t), 59);
  EXPECT_EQ(SecondOf(t), 59);
  EXPECT_EQ(DayOfWeekOf(t), 6);  // a Friday
  EXPECT_EQ(MakeDateTime(2014, 4, 24, 25, -1, 99).days, MakeDateTime(2014, 4, 24, 23, 0, 59).days);
  const DateTimeValue zero{};
  EXPECT_EQ(YearOf(zero), 1899);
  EXPECT_EQ(DayOf(zero), 30);
  EXPECT_EQ(ClampDateTime(3e6), kMaxDateTime);
  EXPECT_EQ(ClampDateTime(-1e7), kMinDateTime);
  EXPECT_EQ(ClampDateTime(5.5), 5.5);
}

}  // namespace
}  // namespace tessaro
