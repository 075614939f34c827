// The redemption run without a window, against the event-server on loopback.
#include "app/run.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/code_list.h"
#include "platform/inet.h"
#include "support/event_server_env.h"

namespace tessaro::app {
namespace {

using tessaro::testing::EventServer;
using tessaro::testing::SharedEventServer;

// Stands in for the window: writes down what the run shows, in order.
class RecordingView : public RunView {
 public:
  std::vector<std::string> events;
  int closeAfterCaptions = -1;  // the user closes the window after that many captions

  void SetCaption(const TextValue& caption) override {
    events.push_back("caption " + caption);
    if (closeAfterCaptions > 0 && --closeAfterCaptions == 0) closing = true;
  }
  void SetButtonEnabled(bool enabled) override {
    events.push_back(enabled ? "button on" : "button off");
  }
  void ShowFinished(const TextValue& text) override { events.push_back("message " + text); }
  bool Closing() const override { return closing; }
  bool closing = false;
};

std::string Step(int n) { return "caption " + ConcatText(Gbk("第"), ToText(n), Gbk("个领取成功")); }
std::string Started() { return "caption " + Gbk("兑换开始!!"); }
std::string Finished() { return "message " + Gbk("领取完毕"); }

CodeList ListOf(std::string_view bytes) {
  CodeList list;
  list.codeBytes = ByteSet(std::string(bytes));
  list.codeItems = SplitBytes(list.codeBytes, "\r\n");
  list.codeText = ToText(list.codeBytes);
  return list;
}

class RunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().Running()) << server().Error();
    server().ClearRecord();
    host_ = "127.0.0.1:" + std::to_string(server().Port());
  }
  static EventServer& server() { return SharedEventServer(); }

  RunEnd Run(const CodeList& list, RecordingView& view, std::int32_t& redeemCount) {
    return RedeemAll(http_, {list.codeItems, list.codeText, host_}, redeemCount, view);
  }
  std::vector<std::string> SentKeys() {
    std::vector<std::string> keys;
    for (const auto& e : server().Record("exchange")) keys.push_back(e.sKey.value_or("<none>"));
    return keys;
  }

  HTTP类 http_;
  std::string host_;
};

TEST(ExchangeUrlTest, CodeGoesInByteForByte) {
  EXPECT_EQ(ExchangeUrl("h.example", "A1"),
            "http://h.example/cf/a20140424cfplive/exchange.php?sKey=A1&t=0.584");
  EXPECT_EQ(ExchangeUrl("h.example:81", ""),
            "http://h.example:81/cf/a20140424cfplive/exchange.php?sKey=&t=0.584");
  const std::string gbk = Gbk("码 #+&");
  EXPECT_EQ(ExchangeUrl("h", gbk), "http://h/cf/a20140424cfplive/exchange.php?sKey=" + gbk + "&t=0.584");
}

struct ListCase {
  const char* name;
  std::string bytes;
  std::vector<std::string> sentKeys;  // as the server decodes them, in order
  int steps;                          // captions "第n个领取成功" shown
};

TEST_F(RunTest, EveryCodeInFileOrderThenTheMessage) {
  const std::string gbk = Gbk("兑换码");
  const ListCase cases[] = {
      {"two codes", "A\r\nB\r\n", {"A", "B"}, 2},
      {"no final CR LF", "A\r\nB", {"A", "B"}, 2},
      {"empty line in the middle", "A\r\n\r\nB", {"A", "", "B"}, 3},
      {"only CR LF", "\r\n", {""}, 1},
      {"empty list", "", {}, 0},
      {"lone CR and LF stay in the code", "a\rb\nc\r\n", {"a\rb\nc"}, 1},
      {"ampersand cuts the key, space and GBK go as they are",
       "x&y\r\na b\r\n" + gbk + "\r\n",
       {"x", "a b", gbk},
       3},
  };
  for (const ListCase& c : cases) {
    SCOPED_TRACE(c.name);
    server().ClearRecord();
    RecordingView view;
    std::int32_t redeemCount = -7;
    EXPECT_EQ(Run(ListOf(c.bytes), view, redeemCount), RunEnd::kFinished);
    EXPECT_EQ(SentKeys(), c.sentKeys);
    std::vector<std::string> expected = {"button off", Started()};
    for (int n = 1; n <= c.steps; ++n) expected.push_back(Step(n));
    expected.push_back(Finished());
    expected.push_back("button on");
    EXPECT_EQ(view.events, expected);
    EXPECT_EQ(redeemCount, c.steps + 1);
  }
}

TEST_F(RunTest, RequestsAreGetsWithTheLoginCookieOfTheStore) {
  const std::string session = server().Login("player1", "pw");
  ASSERT_FALSE(session.empty());
  const std::string root = server().Url("/");
  ASSERT_EQ(inet::InternetSetCookieA(root.c_str(), "cfsession", session.c_str()), 1u);
  RecordingView view;
  std::int32_t redeemCount = 0;
  Run(ListOf("K1\r\nK2\r\n"), view, redeemCount);
  const auto record = server().Record("exchange");
  ASSERT_EQ(record.size(), 2u);
  for (const auto& e : record) {
    EXPECT_EQ(e.method, "GET");
    EXPECT_TRUE(e.loggedIn);
    EXPECT_EQ(e.user.value_or(""), "player1");
    EXPECT_EQ(e.t.value_or(""), "0.584");
    EXPECT_EQ(e.bodyLength, 0);
  }
  EXPECT_EQ(record[0].target, "/cf/a20140424cfplive/exchange.php?sKey=K1&t=0.584");
}

TEST_F(RunTest, SecondRunRedeemsTheWholeListAgain) {
  const CodeList list = ListOf("A\r\nB\r\nC\r\n");
  RecordingView view;
  std::int32_t redeemCount = 0;
  Run(list, view, redeemCount);
  Run(list, view, redeemCount);
  EXPECT_EQ(SentKeys(), (std::vector<std::string>{"A", "B", "C", "A", "B", "C"}));
  EXPECT_EQ(redeemCount, 4);
}

TEST_F(RunTest, FailedExchangesDoNotStopTheRun) {
  const CodeList list = ListOf("A\r\nB\r\n");
  RecordingView view;
  std::int32_t redeemCount = 0;
  // Port 1 on loopback: connection refused.
  EXPECT_EQ(RedeemAll(http_, {list.codeItems, list.codeText, "127.0.0.1:1"}, redeemCount, view),
            RunEnd::kFinished);
  EXPECT_EQ(view.events, (std::vector<std::string>{"button off", Started(), Step(1), Step(2),
                                                    Finished(), "button on"}));
}

// The count comes from the bytes, the codes from the text: where the text holds fewer codes
// than the bytes count, the steps past the text's last code show their caption and send
// nothing.
TEST_F(RunTest, StepsWithoutACodeInTheTextSendNothing) {
  struct Case {
    const char* name;
    std::string bytes;
    std::vector<std::string> sentKeys;
    int steps;
  };
  const Case cases[] = {
      {"NUL byte", std::string("A\r\nB\0C\r\nD\r\nE", 12), {"A", "B"}, 4},
      // 0xB0 takes the CR as its second byte, so the text joins the first two lines. The
      // joined code is sent as the text holds it; the server reads its key up to the "&".
      {"CR LF behind a lead byte", "A\xB0\r\nB&x\r\nC", {"A\xB0\r\nB", "C"}, 3},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    server().ClearRecord();
    RecordingView view;
    std::int32_t redeemCount = 0;
    EXPECT_EQ(Run(ListOf(c.bytes), view, redeemCount), RunEnd::kFinished);
    EXPECT_EQ(SentKeys(), c.sentKeys);
    // A CR LF inside a code never splits the request into more header lines.
    for (const auto& e : server().Record("exchange"))
      for (const std::string& h : e.headers) EXPECT_NE(h.find(": "), std::string::npos) << h;
    std::vector<std::string> expected = {"button off", Started()};
    for (int n = 1; n <= c.steps; ++n) expected.push_back(Step(n));
    expected.push_back(Finished());
    expected.push_back("button on");
    EXPECT_EQ(view.events, expected);
  }
}

TEST_F(RunTest, ClosingTheWindowEndsTheRunAfterTheCurrentRequest) {
  RecordingView view;
  view.closeAfterCaptions = 3;  // "兑换开始!!", code 1, code 2: closed while 2 is sent
  std::int32_t redeemCount = 0;
  EXPECT_EQ(Run(ListOf("A\r\nB\r\nC\r\nD\r\n"), view, redeemCount), RunEnd::kClosed);
  EXPECT_EQ(SentKeys(), (std::vector<std::string>{"A", "B"}));
  EXPECT_EQ(view.events,
            (std::vector<std::string>{"button off", Started(), Step(1), Step(2)}));
}

}  // namespace
}  // namespace tessaro::app
