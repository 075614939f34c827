// WebAccess and GetPageText against real servers on loopback: the event-server (which
// records every request as it arrived on the wire), nginx and tinyproxy.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "http/http_class.h"
#include "platform/inet.h"
#include "support/event_server_env.h"
#include "support/peers.h"
#include "support/process.h"

namespace tessaro {
namespace {

using testing::EventServer;
using testing::RecordEntry;

// The cookie store and cache of this process live in a folder of their own.
const std::string kXdgHome = testing::IsolateXdgFolders();

const std::string kAccept =
    "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
    "application/x-shockwave-flash, application/vnd.ms-excel, "
    "application/vnd.ms-powerpoint, application/msword, */*\r\n";
const std::string kLanguage = "Accept-Language: zh-cn\r\n";

// Bytes as a readable trace: anything outside printable ASCII as \xHH.
std::string Printable(const std::string& bytes) {
  std::string out;
  for (char ch : bytes) {
    auto c = static_cast<unsigned char>(ch);
    if (c >= 0x20 && c < 0x7f) {
      out += static_cast<char>(c);
    } else {
      char esc[8];
      std::snprintf(esc, sizeof esc, "\\x%02x", c);
      out += esc;
    }
  }
  return out;
}

std::string Join(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) out += l + "\n";
  return out;
}

ByteSet Failure() {
  return ByteSet(std::string(255, '\0'));
}

// The header lines of a CR LF separated text, without the line ends.
std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t start = 0;
  for (std::size_t p; (p = text.find("\r\n", start)) != std::string::npos; start = p + 2)
    lines.push_back(text.substr(start, p - start));
  if (start < text.size()) lines.push_back(text.substr(start));
  return lines;
}

bool SameName(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

// True when have holds the header line want: the same name in any letter case, the same
// value byte for byte.
bool HasLine(const std::vector<std::string>& have, const std::string& want) {
  std::size_t colon = want.find(':');
  for (const std::string& line : have) {
    std::size_t c = line.find(':');
    if (c != std::string::npos && colon != std::string::npos &&
        SameName(line.substr(0, c), want.substr(0, colon)) && line.substr(c) == want.substr(colon))
      return true;
  }
  return false;
}

std::size_t CountNamed(const std::vector<std::string>& lines, const std::string& name) {
  return static_cast<std::size_t>(
      std::count_if(lines.begin(), lines.end(), [&](const std::string& l) {
        return l.size() > name.size() && l[name.size()] == ':' &&
               std::equal(name.begin(), name.end(), l.begin(), [](char a, char b) {
                 return std::tolower(static_cast<unsigned char>(a)) ==
                        std::tolower(static_cast<unsigned char>(b));
               });
      }));
}

class WebAccessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server().Running()) << server().Error();
    server().ClearRecord();
  }
  static EventServer& server() { return testing::SharedEventServer(); }

  // The one request the server received since SetUp.
  RecordEntry OnlyRequest() {
    auto entries = server().Record();
    EXPECT_EQ(entries.size(), 1u);
    return entries.empty() ? RecordEntry{} : entries.back();
  }

  HTTP类 http;
};

TEST_F(WebAccessTest, DefaultHeadersAreAddedToTheCallersHeadersInOrder) {
  struct Case {
    const char* given;
    const char* expectedPrefix;      // the caller's part of the text on return
    bool accept, referer, language;  // which defaults follow, in this order
  };
  const Case cases[] = {
      {"", "", true, true, true},
      {"X-One: 1\r\nX-Two: 2\r\n", "X-One: 1\r\nX-Two: 2\r\n", true, true, true},
      {"accept: text/html\r\n", "accept: text/html\r\n", false, true, true},
      // The name found inside a longer one counts as present.
      {"X-Accept: 1\r\n", "X-Accept: 1\r\n", false, true, true},
      {"Referer: http://elsewhere/\r\n", "Referer: http://elsewhere/\r\n", true, false, true},
      {"ACCEPT-LANGUAGE: en\r\n", "ACCEPT-LANGUAGE: en\r\n", true, true, false},
      // Without a final CR LF the first default follows the last character directly.
      {"X-Last: 1", "X-Last: 1", true, true, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.given);
    server().ClearRecord();
    TextValue url = server().Url("/test/echo");
    TextValue headers = c.given;
    ByteSet body = http.WebAccess(url, "", "", headers, "");
    std::string expected = c.expectedPrefix;
    if (c.accept) expected += kAccept;
    if (c.referer) expected += "Referer: " + url + "\r\n";
    if (c.language) expected += kLanguage;
    EXPECT_EQ(headers, expected);
    // The server got each of those lines, none of them twice. (Header names may arrive in
    // another letter case and order: the platform writes well-known headers first.)
    RecordEntry r = OnlyRequest();
    for (const std::string& line : Lines(expected))
      EXPECT_TRUE(HasLine(r.headers, line)) << line << "\n" << body.bytes();
    for (const char* name : {"Accept", "Referer", "Accept-Language"})
      EXPECT_EQ(CountNamed(r.headers, name), CountNamed(Lines(expected), name)) << name;
  }
}

TEST_F(WebAccessTest, VerbsAndBodies) {
  struct Case {
    const char* verb;
    const char* postData;
    const char* method;  // on the wire
    const char* body;    // on the wire
    const char* added;   // lines after the defaults in the caller's variable
  };
  const Case cases[] = {
      {"", "", "GET", "", ""},
      {"GET", "", "GET", "", ""},
      {"", "ignored=1", "GET", "", ""},  // a GET sends no body
      {"POST", "", "POST", "", ""},
      {"POST", "a=1&b=2", "POST", "a=1&b=2",
       "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 7\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.verb) + " " + c.postData);
    server().ClearRecord();
    TextValue url = server().Url("/test/echo");
    TextValue headers;
    ByteSet body = http.WebAccess(url, c.verb, "", headers, c.postData);
    EXPECT_EQ(headers, kAccept + "Referer: " + url + "\r\n" + kLanguage + c.added);
    RecordEntry r = OnlyRequest();
    EXPECT_EQ(r.method, c.method);
    EXPECT_EQ(r.body, c.body);
    EXPECT_LE(CountNamed(r.headers, "Content-Length"), 1u);
    EXPECT_EQ(body.bytes().substr(0, r.requestLine.size()), r.requestLine);
  }
}

TEST_F(WebAccessTest, OtherVerbsSendNothingAndGiveTheFailureValue) {
  for (const char* verb : {"get", "post", "PUT", "HEAD", "Get"}) {
    SCOPED_TRACE(verb);
    server().ClearRecord();
    TextValue url = server().Url("/test/echo");
    TextValue headers;
    EXPECT_EQ(http.WebAccess(url, verb, "", headers, ""), Failure());
    // The defaults were added before the verb was looked at.
    EXPECT_EQ(headers, kAccept + "Referer: " + url + "\r\n" + kLanguage);
    EXPECT_TRUE(server().Record().empty());
  }
}

TEST_F(WebAccessTest, BodiesAreReturnedByteForByte) {
  auto pattern = [](std::size_t n) {
    std::string s(n, '\0');
    for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i % 251);
    return s;
  };
  struct Case {
    std::string path;
    std::string body;
  };
  const Case cases[] = {
      {"/test/bytes?size=1", pattern(1)},
      {"/test/bytes?size=512", pattern(512)},
      {"/test/bytes?size=513", pattern(513)},
      {"/test/bytes?size=300000", pattern(300000)},
      {"/test/chunked?chunks=7&size=1000", pattern(7000)},
      {"/test/slow?delay_ms=50&chunks=4&size=700", pattern(2800)},
      {"/test/slow?delay_ms=50&chunks=3&size=100&chunked=1", pattern(300)},
      {"/test/status?code=404&body=missing", "missing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    ByteSet body = http.WebAccess(server().Url(c.path));
    EXPECT_EQ(body.size(), c.body.size());
    EXPECT_TRUE(body.bytes() == c.body);
  }
}

TEST_F(WebAccessTest, EmptyBodyDiffersFromTheFailureValue) {
  struct Case {
    std::string url;
    ByteSet expected;
  };
  const std::uint16_t closedPort = testing::FreeLoopbackPort();
  const Case cases[] = {
      {server().Url("/test/empty"), ByteSet()},
      // The connection closes before any answer: nothing to read, and no failure value.
      {server().Url("/test/drop?after=-1"), ByteSet()},
      {"http://127.0.0.1:" + std::to_string(closedPort) + "/nothing", ByteSet()},
      // A read that fails part-way keeps what arrived.
      {server().Url("/test/drop?after=10&length=100"),
       ByteSet(std::string("\0\1\2\3\4\5\6\7\10\11", 10))},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    ByteSet body = http.WebAccess(c.url);
    EXPECT_EQ(body, c.expected);
    EXPECT_NE(body, Failure());
  }
  // GetPageText reads up to the first zero byte: a body that starts with one is empty.
  EXPECT_EQ(http.GetPageText(server().Url("/test/bytes?size=10")), "");
  EXPECT_EQ(http.GetPageText(server().Url("/test/status?code=200&body=page+text")), "page text");
}

TEST_F(WebAccessTest, CodesReachTheExchangeWithTheirBytesIntact) {
  struct Case {
    std::string code;
    std::string sKey;  // as the server reads the query
  };
  const Case cases[] = {
      {"ABC-123", "ABC-123"},
      {"A B", "A B"},
      {"a\rb", "a\rb"},
      {"a\nb", "a\nb"},
      {"\xb2\xe2\xca\xd4", "\xb2\xe2\xca\xd4"},  // GBK
      {"a#b", "a#b"},
      {"", ""},
      // Sent as it stands, so the server reads the value only up to the "&".
      {"x&y", "x"},
      // No code can add a header line or a second request.
      {"a\r\nX-Injected: 1\r\n\r\nGET /test/echo HTTP/1.1",
       "a\r\nX-Injected: 1\r\n\r\nGET /test/echo HTTP/1.1"},
      {"\"<>\\^`{|}\x7f\x01", "\"<>\\^`{|}\x7f\x01"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(Printable(c.code));
    server().ClearRecord();
    const std::string path = "/cf/a20140424cfplive/exchange.php?sKey=" + c.code + "&t=0.584";
    ByteSet body = http.WebAccess(server().Url(path));
    auto entries = server().Record();
    ASSERT_EQ(entries.size(), 1u) << body.bytes();
    const RecordEntry& r = entries[0];
    EXPECT_EQ(r.route, "exchange");
    EXPECT_EQ(r.targetDecoded, path);
    EXPECT_EQ(r.sKey, c.sKey);
    EXPECT_EQ(r.t, "0.584");
    EXPECT_EQ(CountNamed(r.headers, "X-Injected"), 0u);
    // The URL is the referrer too, with its control bytes percent-encoded.
    std::string referer;
    for (char ch : server().Url(path)) {
      auto b = static_cast<unsigned char>(ch);
      if (b < 0x20 || b == 0x7f) {
        char esc[4];
        std::snprintf(esc, sizeof esc, "%%%02X", b);
        referer += esc;
      } else {
        referer += ch;
      }
    }
    EXPECT_TRUE(HasLine(r.headers, "Referer: " + referer)) << Printable(Join(r.headers));
    // The request line has exactly the two blanks that separate its three parts.
    EXPECT_EQ(std::count(r.requestLine.begin(), r.requestLine.end(), ' '), 2);
  }
}

TEST_F(WebAccessTest, ResponseCookiesAreCopiedInHeaderOrderForTheHost) {
  // The response comes from /test/, so a cookie without a path attribute lands there in the
  // store; the copy stores it for "http://" + host, path "/", where GetCookie looks.
  struct Case {
    std::string query;
    std::string name;
    std::string expected;  // value seen for http://127.0.0.1/
  };
  const Case cases[] = {
      {"c=order%3D1&c=order%3D2", "order", "2"},      // the later line wins
      {"c=attr%3D42%3B%20path%3D%2F", "attr", "42"},  // attributes go with the data
      {"c=plain%3Dv1&c=other%3Dv2", "other", "v2"},
      {"c=emptied%3Dold&c=emptied%3D", "emptied", ""},  // an empty value replaces the old one
      // A header block that does not fit the 1024-byte buffer copies nothing, but the body
      // still comes back.
      {"c=fits%3D1&pad=600", "fits", "1"},
      {"c=toolong%3D1&pad=1100", "toolong", ""},
  };
  HTTP类 h;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    ByteSet body = http.WebAccess(server().Url("/test/set-cookie?" + c.query + "&body=done"));
    EXPECT_EQ(body.bytes(), "done");
    EXPECT_EQ(h.GetCookie("http://127.0.0.1/", c.name), c.expected);
  }
}

TEST_F(WebAccessTest, OnlySetCookieLinesBecomeCookies) {
  // The marker inside another header's value is that header's text.
  ByteSet body = http.WebAccess(
      server().Url("/test/set-cookie?c=real%3D1&body=x&h=X-Note%3A%20Set-Cookie%3A%20evil%3D1"));
  EXPECT_EQ(body.bytes(), "x");
  TextValue all = http.GetCookie("http://127.0.0.1/");
  EXPECT_NE(all.find("real=1"), std::string::npos) << all;
  EXPECT_EQ(all.find("evil"), std::string::npos) << all;
}

TEST_F(WebAccessTest, LoginThenExchangeCarriesTheSessionCookie) {
  TextValue headers;
  ByteSet login = http.WebAccess(server().Url("/cfpl/s5/login.php"), "POST", "", headers,
                                 "user=alice&password=secret");
  EXPECT_NE(login.bytes().find("alice"), std::string::npos) << login.bytes();
  // The session cookie is HttpOnly: the store gives it out all the same.
  EXPECT_FALSE(http.GetCookie(server().Url("/"), "cfsession").empty());
  server().ClearRecord();
  ByteSet answer =
      http.WebAccess(server().Url("/cf/a20140424cfplive/exchange.php?sKey=K1&t=0.584"));
  EXPECT_NE(answer.bytes().find("\"logged_in\":true"), std::string::npos) << answer.bytes();
  RecordEntry r = OnlyRequest();
  EXPECT_TRUE(r.loggedIn);
  EXPECT_EQ(r.user, "alice");
  ASSERT_TRUE(r.cookie.has_value());
  EXPECT_NE(r.cookie->find("cfsession="), std::string::npos);
}

// ---- Real peers ----

class PeerTest : public WebAccessTest {};

TEST_F(PeerTest, NginxServesFilesOverOneKeptConnection) {
  std::string root = testing::MakeTempDir("tessaro-www-");
  std::string big(70000, '\0');
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7) % 256);
  std::ofstream(root + "/big.bin", std::ios::binary) << big;
  std::ofstream(root + "/small.txt", std::ios::binary) << "hello";
  std::ofstream(root + "/empty.txt", std::ios::binary);
  testing::Nginx nginx;
  if (!nginx.Start(root)) {
    testing::RemoveTree(root);
    if (nginx.Missing()) GTEST_SKIP() << nginx.Error();
    FAIL() << nginx.Error();
  }
  EXPECT_EQ(http.WebAccess(nginx.Url("/big.bin")).bytes(), big);
  EXPECT_EQ(http.WebAccess(nginx.Url("/small.txt")).bytes(), "hello");
  EXPECT_EQ(http.WebAccess(nginx.Url("/empty.txt")), ByteSet());
  EXPECT_EQ(http.GetPageText(nginx.Url("/small.txt")), "hello");
  // Every request on the same connection: its number stays, its request count goes up.
  std::istringstream log(nginx.AccessLog());
  std::vector<std::pair<std::string, int>> lines;
  std::string connection;
  int count = 0;
  std::string rest;
  while (log >> connection >> count && std::getline(log, rest))
    lines.emplace_back(connection, count);
  ASSERT_EQ(lines.size(), 4u) << nginx.AccessLog();
  for (std::size_t i = 0; i < lines.size(); ++i) {
    EXPECT_EQ(lines[i].first, lines[0].first) << nginx.AccessLog();
    EXPECT_EQ(lines[i].second, static_cast<int>(i) + 1) << nginx.AccessLog();
  }
  testing::RemoveTree(root);
}

TEST_F(PeerTest, ProxyTextChoosesTheWayOut) {
  testing::Tinyproxy proxy;
  if (!proxy.Start()) {
    if (proxy.Missing()) GTEST_SKIP() << proxy.Error();
    FAIL() << proxy.Error();
  }
  const std::string port = std::to_string(proxy.Port());
  struct Case {
    std::string proxy;
    bool throughProxy;
  };
  const Case cases[] = {
      {"127.0.0.1:" + port, true},
      {"", false},
      {"   ", false},
      {" \xa1\xa1 ", false},  // full-width spaces (GBK) count as spaces
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.proxy);
    server().ClearRecord();
    TextValue headers;
    TextValue url = server().Url("/test/echo?via=" + std::to_string(c.throughProxy));
    ByteSet body = http.WebAccess(url, "", c.proxy, headers, "");
    RecordEntry r = OnlyRequest();
    bool via = false;
    for (const std::string& line : r.headers)
      if (line.rfind("Via:", 0) == 0 && line.find("tinyproxy") != std::string::npos) via = true;
    EXPECT_EQ(via, c.throughProxy) << body.bytes();
    EXPECT_EQ(r.target, "/test/echo?via=" + std::to_string(c.throughProxy));
  }
  // The proxy's own log names the request it forwarded.
  EXPECT_NE(proxy.Log().find("/test/echo?via=1"), std::string::npos) << proxy.Log();
}

}  // namespace
}  // namespace tessaro
