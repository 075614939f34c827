// The text and byte-set operations at their edges, GBK pairs included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "values/values.h"

namespace tessaro {
namespace {

std::vector<std::string> Members(const ValueArray<TextValue>& a) { return a.items(); }
std::vector<std::string> Members(const ValueArray<ByteSet>& a) {
  std::vector<std::string> out;
  for (const ByteSet& b : a) out.push_back(b.bytes());
  return out;
}

struct FindCase {
  std::string text, sought;
  std::int32_t start;
  bool ignoreCase;
  std::int32_t forward, reverse;
};

TEST(TextSearch, ForwardAndReverse) {
  // start 0 = no start given. Reverse: the last occurrence ending before start.
  const FindCase cases[] = {
      {"abc", "c", 3, false, 3, -1},
      {"abc", "c", 4, false, -1, 3},
      {"abc", "c", 0, false, 3, 3},
      {"abc", "", 3, false, 1, 1},
      {"", "", 0, false, -1, -1},
      {"xabc", "ABC", 0, true, 2, 2},
      {"xabc", "ABC", 0, false, -1, -1},
      {"a/b/c", "/", 0, false, 2, 4},
      {"a/b/c", "/", 5, false, -1, 4},
      {"a/b/c", "/", 4, false, 4, 2},
      {"a/b/c", "/", 1, false, 2, -1},
      {"a/b/c", "/", 99, false, -1, 4},
      // A slash after a lead byte is its trail byte: never found.
      {"\xB0/A", "/", 0, false, -1, -1},
      {"\xB0/A/", "/", 0, false, 4, 4},
      // Double-byte characters never fold: full-width A (A3 C1) does not match a (A3 E1).
      {"\xA3\xE1", "\xA3\xC1", 0, true, -1, -1},
      {"x\xB0\x61", "\xB0\x41", 0, true, -1, -1},  // trail bytes that look like letters
      {"NEEDLE x needle", "nEEdLe", 2, true, 10, -1},
      {"NEEDLE x needle", "nEEdLe", 0, true, 1, 10},
      // A lead byte as the last byte ends the scan.
      {"ab\xB0", "\xB0", 0, false, -1, -1},
      {"aaa", "aa", 0, false, 1, 2},
      {"\xB0\xA1\xB0\xA1", "\xA1\xB0", 0, false, -1, -1},
  };
  for (const FindCase& c : cases) {
    SCOPED_TRACE("text=" + c.text + " sought=" + c.sought + " start=" + std::to_string(c.start));
    EXPECT_EQ(FindText(c.text, c.sought, c.start, c.ignoreCase), c.forward);
    EXPECT_EQ(FindTextReverse(c.text, c.sought, c.start, c.ignoreCase), c.reverse);
  }
}

TEST(TextCuts, LeftRightMidReplace) {
  EXPECT_EQ(TextMid("abc", 0, 2), "");
  EXPECT_EQ(TextMid("abc", 3, 5), "c");
  EXPECT_EQ(TextMid("abc", 4, 1), "");
  EXPECT_EQ(TextMid("abc", 2, 0), "");
  EXPECT_EQ(TextLeft("\xB0\xA1x", 1), "\xB0");  // cuts count bytes
  EXPECT_EQ(TextLeft("abc", 0), "");
  EXPECT_EQ(TextLeft("abc", 9), "abc");
  EXPECT_EQ(TextRight("abc", 2), "bc");
  EXPECT_EQ(TextRight("abc", -1), "");
  EXPECT_EQ(TextRight("abc", 9), "abc");
  EXPECT_EQ(ReplaceTextAt("abc", 10, 5, "X"), "abcX");
  EXPECT_EQ(ReplaceTextAt("abc", 2, 1), "ac");
  EXPECT_EQ(ReplaceTextAt("abc", 2, 0, "X"), "aXbc");
  EXPECT_EQ(ReplaceTextAt("abc", -3, 1, "X"), "Xbc");
  EXPECT_EQ(ReplaceTextAt("http://srv", 1, 7), "srv");
  EXPECT_EQ(ReplaceTextAt("abc", 2, 99, "Z"), "aZ");
}

TEST(TextCase, LowerSpacesCompare) {
  EXPECT_EQ(ToLowerCase("AbC\xB0Z"), "abc\xB0Z");  // Z is the trail byte of B0 5A
  EXPECT_EQ(ToLowerCase("\xA3\xC1Q"), "\xA3\xC1q");
  EXPECT_EQ(RemoveAllSpaces(" a\xA1\xA1 b\t\r\n"), "ab\t\r\n");
  EXPECT_EQ(RemoveAllSpaces("\xB0\x20x"), "\xB0\x20x");  // 0x20 as a trail byte stays
  EXPECT_EQ(CompareText("abc", "ABC", false), 0);
  EXPECT_LT(CompareText("abc", "ABD", false), 0);
  EXPECT_GT(CompareText("abc", "ABC", true), 0);
  EXPECT_EQ(CompareText("\xA3\xE1", "\xA3\xC1", false), 0);  // full-width letters fold
  EXPECT_NE(CompareText("\xA3\xE1", "\xA3\xC1", true), 0);
  EXPECT_LT(CompareText("ab", "abc", true), 0);
  EXPECT_GT(CompareText("\xB0\xA1", "a", true), 0);
  EXPECT_TRUE(TextEquals("", std::string()));
  EXPECT_EQ(SpaceText(3), "   ");
  EXPECT_EQ(SpaceText(-1), "");
}

TEST(TextConvert, NumbersAndBytes) {
  EXPECT_EQ(ToText(-42), "-42");
  EXPECT_EQ(ToText(0), "0");
  EXPECT_EQ(ToText(ByteSet(std::string("A\0B", 3))), "A");
  EXPECT_EQ(ToText(ByteSet(std::string("\0A", 2))), "");
  EXPECT_EQ(ToText(ByteSet()), "");
  EXPECT_EQ(BytesLength(ToBytes("")), 0);
  EXPECT_EQ(ToBytes("ab").bytes(), "ab");
  const struct {
    std::string text;
    double value;
  } numbers[] = {
      {"\xA3\xB1\xA3\xB2", 12}, {"12ab", 12}, {"ab", 0},     {"", 0},        {"  -3.5e2x", -350},
      {"\xA1\xA1" "7", 7},      {"+.5", 0.5}, {"0x10", 0},   {"inf", 0},     {"1e", 1},
      {"\xA3\xAD" "4", -4},  // full-width minus
  };
  for (const auto& n : numbers) {
    SCOPED_TRACE(n.text);
    EXPECT_DOUBLE_EQ(ToNumber(n.text), n.value);
  }
  EXPECT_EQ(ZeroBytes(3).bytes(), std::string(3, '\0'));
  EXPECT_TRUE(ZeroBytes(0).empty());
  EXPECT_EQ(BytesLeft(ByteSet(std::string("abc")), 9).bytes(), "abc");
  EXPECT_TRUE(BytesLeft(ByteSet(std::string("abc")), 0).empty());
  EXPECT_EQ(ConcatBytes(ByteSet(std::string("a")), ByteSet(), ByteSet(std::string("\0", 1))).bytes(),
            std::string("a\0", 2));
  EXPECT_EQ(ConcatText("a", std::string(), "b"), "ab");
}

struct SplitCase {
  std::string input, delimiter;
  std::int32_t maxCount;
  std::vector<std::string> text;   // SplitText
  std::vector<std::string> bytes;  // SplitBytes
};

TEST(Split, TextAndBytes) {
  const std::string crlf = "\r\n";
  const SplitCase cases[] = {
      {"A,,B,", ",", kNoLimit, {"A", "", "B"}, {"A", "", "B"}},
      {"A,,B,", ",", 1, {"A"}, {"A"}},
      {"A,,B,", ",", 0, {}, {}},
      {"A,,B,", ",", -5, {}, {}},
      {"", ",", kNoLimit, {}, {}},
      {"abc", "", kNoLimit, {"abc"}, {"abc"}},
      {",a", ",", kNoLimit, {"", "a"}, {"", "a"}},
      {"A\r\nB\r\n", crlf, kNoLimit, {"A", "B"}, {"A", "B"}},
      {"A\r\n\r\nB", crlf, kNoLimit, {"A", "", "B"}, {"A", "", "B"}},
      {"\r\n", crlf, kNoLimit, {""}, {""}},
      {"\r\r\n", crlf, kNoLimit, {"\r"}, {"\r"}},
      // A lead byte before CR LF swallows the CR: the text split sees no delimiter there.
      {"A\xB0\r\nB", crlf, kNoLimit, {"A\xB0\r\nB"}, {"A\xB0", "B"}},
      {"\xC4\xE3\r\n\xBA\xC3", crlf, kNoLimit, {"\xC4\xE3", "\xBA\xC3"}, {"\xC4\xE3", "\xBA\xC3"}},
      {"a\r\nb", crlf, 5, {"a", "b"}, {"a", "b"}},
  };
  for (const SplitCase& c : cases) {
    SCOPED_TRACE("input=" + c.input + " max=" + std::to_string(c.maxCount));
    EXPECT_EQ(Members(SplitText(c.input, c.delimiter, c.maxCount)), c.text);
    EXPECT_EQ(Members(SplitBytes(ByteSet(c.input), c.delimiter, c.maxCount)), c.bytes);
  }
  // The byte split's default delimiter is NUL; the text split's is the comma.
  EXPECT_EQ(Members(SplitBytes(ByteSet(std::string("a\0b", 3)))),
            (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(Members(SplitText("a,b")), (std::vector<std::string>{"a", "b"}));
}

TEST(Arrays, OneBasedAccessAndAppend) {
  ValueArray<TextValue> a;
  EXPECT_EQ(ArrayCount(a), 0);
  AppendMember(a, TextValue("x"));
  AppendMember(a, ValueArray<TextValue>{"y", "z"});
  ASSERT_EQ(ArrayCount(a), 3);
  EXPECT_EQ(a[1], "x");
  EXPECT_EQ(a[3], "z");
}

TEST(ArraysDeathTest, OutOfRangeIsFatal) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  ValueArray<TextValue> a{"only"};
  // The message box falls back to standard error without a display.
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        (void)a[2];
      },
      ::testing::ExitedWithCode(255), "\\(1\\)|1");
  EXPECT_EXIT(
      {
        unsetenv("DISPLAY");
        unsetenv("WAYLAND_DISPLAY");
        (void)a[0];
      },
      ::testing::ExitedWithCode(255), "4");
}

TEST(Gbk, ConvertsAtTheBoundary) {
  EXPECT_EQ(Gbk("兑换"), "\xB6\xD2\xBB\xBB");
  EXPECT_EQ(ToUtf8("\xB6\xD2\xBB\xBB"), "兑换");
  EXPECT_EQ(ToUtf8("a\xB0"), "a\xEF\xBF\xBD");  // a lead byte at the end
}

}  // namespace
}  // namespace tessaro
