// The command line: where the page, the exchange requests and the label point.
#include "app/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tessaro::app {
namespace {

TEST(OptionsTest, BothFormsSetTheirValueAndTheRestKeepTheBuiltInNames) {
  const ParsedOptions parsed = ParseOptions(
      {"--page", "http://127.0.0.1:8080/cfpl/s5/live.html", "--exchange-host=127.0.0.1:8081"});
  ASSERT_EQ(parsed.error, "");
  EXPECT_FALSE(parsed.help);
  EXPECT_EQ(parsed.options.pageUrl, "http://127.0.0.1:8080/cfpl/s5/live.html");
  EXPECT_EQ(parsed.options.exchangeHost, "127.0.0.1:8081");
  EXPECT_EQ(parsed.options.forumUrl, kDefaultForumUrl);
  EXPECT_TRUE(ParseOptions({"--help"}).help);
}

TEST(OptionsTest, CommandLinesThatAreRefused) {
  struct Case {
    std::vector<std::string> args;
    const char* error;  // what the message starts with
  };
  const Case cases[] = {
      {{"--bogus"}, "unknown argument: --bogus"},
      {{"--page"}, "--page needs a value"},
      {{"--forum="}, "--forum needs a value"},
      {{"--pages=x"}, "unknown argument"},
      // Each of these would move part of the value out of the exchange URL's host.
      {{"--exchange-host", "h.example/x"}, "--exchange-host takes"},
      {{"--exchange-host", "h.example?x"}, "--exchange-host takes"},
      {{"--exchange-host", "h.example#x"}, "--exchange-host takes"},
      {{"--exchange-host", "user@h.example"}, "--exchange-host takes"},
      {{"--exchange-host", "h.example x"}, "--exchange-host takes"},
      {{"--exchange-host", "h.example\r\nX: y"}, "--exchange-host takes"},
      {{"--exchange-host", "h.example\x7F"}, "--exchange-host takes"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::PrintToString(c.args));
    const ParsedOptions parsed = ParseOptions(c.args);
    EXPECT_EQ(parsed.error.rfind(c.error, 0), 0u) << parsed.error;
    EXPECT_EQ(parsed.options.exchangeHost, kDefaultExchangeHost);
  }
}

}  // namespace
}  // namespace tessaro::app
