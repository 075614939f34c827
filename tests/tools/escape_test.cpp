#include <gtest/gtest.h>

#include "tessaro-http/escape.h"

namespace tessaro::cli {
namespace {

TEST(BatchEscape, RoundTripsEveryByte) {
  std::string all;
  for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
  const std::string escaped = EscapeField(all);
  EXPECT_EQ(escaped.find('\t'), std::string::npos);
  EXPECT_EQ(escaped.find('\n'), std::string::npos);
  EXPECT_EQ(UnescapeField(escaped), all);
  EXPECT_EQ(EscapeField(std::string("a\\\t\r\n\0\x01\x7f\xb0", 9)), "a\\\\\\t\\r\\n\\0\\x01\\x7f\\xb0");
}

TEST(BatchEscape, SplitsLinesAndRejectsMalformedEscapes) {
  EXPECT_EQ(SplitBatchLine("url\thttp://x"), (std::vector<std::string>{"url", "http://x"}));
  EXPECT_EQ(SplitBatchLine("get\t\t"), (std::vector<std::string>{"get", "", ""}));
  EXPECT_EQ(SplitBatchLine("url\t\\xB0\\x2f"), (std::vector<std::string>{"url", "\xB0/"}));
  for (const char* bad : {"url\t\\", "url\t\\q", "url\t\\x4", "url\t\\xg0"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(SplitBatchLine(bad).has_value());
  }
}

}  // namespace
}  // namespace tessaro::cli
