// Loading the code list file and the caption that shows its count.
#include "app/code_list.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>

#include "support/process.h"

namespace tessaro::app {
namespace {

class CodeListTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_ = testing::MakeTempDir("tessaro-codes"); }
  void TearDown() override { testing::RemoveTree(dir_); }
  std::string Write(std::string_view bytes) {
    const std::string path = dir_ + "/Quorvel";
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string dir_;
};

TEST_F(CodeListTest, CountsCodesAtCrLf) {
  struct Case {
    std::string bytes;
    std::int32_t count;
  };
  const Case cases[] = {
      {"A\r\nB\r\n", 2}, {"A\r\n\r\nB", 3}, {"A\r\nB", 2}, {"\r\n", 1},
      {"", 0},           {"A\nB\rC", 1},    {std::string("A\0\r\nB", 5), 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.bytes));
    CodeList list;
    LoadCodeList(Write(c.bytes), list);
    EXPECT_EQ(ArrayCount(list.codeItems), c.count);
    EXPECT_EQ(list.codeBytes.bytes(), c.bytes);
  }
}

TEST_F(CodeListTest, TextEndsAtTheFirstNul) {
  CodeList list;
  LoadCodeList(Write(std::string("A\r\nB\0C\r\nD", 9)), list);
  EXPECT_EQ(ArrayCount(list.codeItems), 3);
  EXPECT_EQ(list.codeText, "A\r\nB");
}

TEST_F(CodeListTest, FolderOrMissingFileHasNoCodes) {
  CodeList list;
  LoadCodeList(Write("A\r\n"), list);
  ASSERT_EQ(ArrayCount(list.codeItems), 1);
  // Loading again releases what was there.
  ASSERT_EQ(mkdir((dir_ + "/sub").c_str(), 0755), 0);
  LoadCodeList(dir_ + "/sub", list);
  EXPECT_EQ(ArrayCount(list.codeItems), 0);
  EXPECT_TRUE(list.codeText.empty());
  LoadCodeList(dir_ + "/missing", list);
  EXPECT_EQ(ArrayCount(list.codeItems), 0);
}

TEST(CountCaptionTest, CountThenTheCredit) {
  const std::string utf8 = ToUtf8(CountCaption(79));
  EXPECT_EQ(utf8.rfind("Tessaro（79个）          ", 0), 0u) << utf8;
  EXPECT_NE(utf8.find("     By:"), std::string::npos);
  EXPECT_EQ(utf8.back(), ' ');
  EXPECT_EQ(ToUtf8(CountCaption(0)).rfind("Tessaro（0个）", 0), 0u);
}

TEST(UsageTextTest, TwoLinesWithTheInstructionsFirst) {
  const TextValue text = UsageText();
  const auto lines = SplitText(text, "\r\n");
  ASSERT_EQ(ArrayCount(lines), 2);
  EXPECT_EQ(ToUtf8(lines[1]),
            "使用方法，先在软件里面的网页登陆账号并且绑定，然后点“兑换”，等79个兑换好了，"
            "再把网页拉下，点抽奖就可以了。兑换途中也可以先抽奖一下哦");
  EXPECT_EQ(lines[2].substr(0, 37), std::string(37, ' '));
  EXPECT_EQ(lines[2].substr(lines[2].size() - 40), std::string(40, ' '));
  EXPECT_NE(lines[2][37], ' ');
}

}  // namespace
}  // namespace tessaro::app
