// The cookie methods of HTTP类 on the process's real cookie store. Hosts here are names
// that nothing resolves: the store needs no network.
#include <gtest/gtest.h>

#include <string>

#include "http/http_class.h"
#include "platform/inet.h"
#include "support/process.h"

namespace tessaro {
namespace {

const std::string kXdgHome = testing::IsolateXdgFolders();

// The cookie text the store gives for url, read directly.
std::string StoreText(const std::string& url) {
  std::uint32_t size = 0;
  if (!inet::InternetGetCookieA(url.c_str(), "", nullptr, &size)) return {};
  std::string text(size, '\0');
  if (!inet::InternetGetCookieA(url.c_str(), "", text.data(), &size)) return {};
  return text.c_str();
}

void Store(const std::string& url, const std::string& name, const std::string& data) {
  ASSERT_EQ(inet::InternetSetCookieA(url.c_str(), name.c_str(), data.c_str()), 1u)
      << url << " " << name << "=" << data;
}

TEST(FormatCookieDate, WritesNumbersWithoutLeadingZeros) {
  HTTP类 http;
  struct Case {
    DateTimeValue when;
    const char* text;
  };
  const Case cases[] = {
      {MakeDateTime(1999, 1, 1, 1, 1, 1), "Fri, 1-Jan-1999 1:1:1 GMT"},
      {MakeDateTime(2014, 5, 7, 12, 0, 0), "Wed, 7-May-2014 12:0:0 GMT"},
      {MakeDateTime(2000, 2, 29, 23, 59, 59), "Tue, 29-Feb-2000 23:59:59 GMT"},
      {MakeDateTime(2099, 12, 31, 0, 0, 0), "Thu, 31-Dec-2099 0:0:0 GMT"},
  };
  for (const Case& c : cases) EXPECT_EQ(http.FormatCookieDate(c.when), c.text);
}

TEST(SetCookie, StoresForTheHostAndItsDomain) {
  HTTP类 http;
  struct Case {
    const char* url;
    const char* data;     // the value variable afterwards
    const char* sibling;  // another host of the domain
    bool siblingSees;
  };
  const Case cases[] = {
      {"http://www.site1.test/x?q=1", "abc; path=/; domain=.site1.test", "http://other.site1.test/",
       true},
      {"http://mail.site2.test:8080/x", "abc; path=/; domain=mail.site2.test",
       "http://other.site2.test/", false},
      {"WWW.SITE3.TEST/deep/path", "abc; path=/; domain=.site3.test", "http://x.site3.test/", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.url);
    TextValue value = "abc";
    EXPECT_TRUE(http.SetCookie(c.url, "sid", value));
    EXPECT_EQ(value, c.data);
    EXPECT_EQ(http.GetCookie(c.url, "sid"), "abc");
    EXPECT_EQ(http.GetCookie(c.sibling, "sid"), c.siblingSees ? "abc" : "");
  }
}

TEST(SetCookie, ExpiryAndDeletion) {
  HTTP类 http;
  const TextValue url = "http://expiry.srv/";
  // The zero date-time is "no expiry": a session cookie.
  TextValue value = "s";
  EXPECT_TRUE(http.SetCookie(url, "session", value, MakeDateTime(1899, 12, 30, 0, 0, 0)));
  EXPECT_EQ(value, "s; path=/; domain=expiry.srv");
  value = "k";
  EXPECT_TRUE(http.SetCookie(url, "kept", value, MakeDateTime(2099, 12, 31, 0, 0, 0)));
  EXPECT_EQ(value, "k; expires=Thu, 31-Dec-2099 0:0:0 GMT; path=/; domain=expiry.srv");
  // An expiry in the past stores a cookie that is gone at once.
  value = "p";
  http.SetCookie(url, "past", value, MakeDateTime(2001, 1, 1, 0, 0, 0));
  EXPECT_EQ(http.GetCookie(url, "session"), "s");
  EXPECT_EQ(http.GetCookie(url, "kept"), "k");
  EXPECT_EQ(http.GetCookie(url, "past"), "");
  // An empty value deletes, whatever expiry is given.
  value.clear();
  EXPECT_TRUE(http.SetCookie(url, "kept", value, MakeDateTime(2099, 1, 1, 0, 0, 0)));
  EXPECT_EQ(value, "delete; expires=Fri, 1-Jan-1999 1:1:1 GMT; path=/; domain=expiry.srv");
  EXPECT_EQ(http.GetCookie(url, "kept"), "");
  EXPECT_EQ(http.GetCookie(url, "session"), "s");
}

TEST(GetCookie, FindsTheNameAnywhereInTheText) {
  HTTP类 http;
  Store("http://get1.srv/", "sid", "5; path=/");
  Store("http://get1.srv/", "id", "7; path=/");
  Store("http://get2.srv/", "a", "1; path=/");
  Store("http://get2.srv/", "b", "2; path=/");
  struct Case {
    const char* url;
    const char* name;
    const char* value;
  };
  const Case cases[] = {
      {"http://get1.srv/any/path?x", "", "sid=5; id=7"},
      {"http://get1.srv", "id", "5"},  // found inside "sid" first
      {"http://get1.srv", "sid", "5"},
      {"http://get2.srv", "b", "2"},  // the last pair, no ";" after it
      {"http://get2.srv", "B", "2"},  // the search ignores case
      {"http://get2.srv", "c", ""},
      {"http://none.srv", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.url) + " " + c.name);
    EXPECT_EQ(http.GetCookie(c.url, c.name), c.value);
  }
}

TEST(GetCookie, ReadsTextsLongerThanItsFirstBuffer) {
  HTTP类 http;
  const std::string url = "http://many.srv/";
  for (int i = 0; i < 5; ++i)
    Store(url, "c" + std::to_string(i), std::string(80, 'v') + "; path=/");
  std::string text = StoreText(url);
  ASSERT_GT(text.size(), 255u);
  EXPECT_EQ(http.GetCookie(url), text);
  EXPECT_EQ(http.GetCookie(url, "c4"), std::string(80, 'v'));
  // So deleting them all really deletes them all.
  EXPECT_TRUE(http.ClearCookies("many.srv"));
  EXPECT_EQ(StoreText(url), "");
}

TEST(DeleteAll, SetCookieWithoutNameAndClearCookies) {
  HTTP类 http;
  using Deleter = bool (*)(HTTP类&, const std::string& host);
  const Deleter deleters[] = {
      [](HTTP类& h, const std::string& host) {
        TextValue value = "untouched";
        bool ok = h.SetCookie("http://" + host + "/page", "", value);
        EXPECT_EQ(value, "untouched");
        return ok;
      },
      [](HTTP类& h, const std::string& host) { return h.ClearCookies(host); },
  };
  int round = 0;
  for (Deleter deleteAll : deleters) {
    SCOPED_TRACE(round);
    const std::string n = std::to_string(round++);
    // Host and domain cookies of a "www." host all go.
    const std::string www = "www.del" + n + ".test";
    TextValue value = "1";
    http.SetCookie("http://" + www, "a", value);
    value = "2";
    http.SetCookie("http://" + www, "b", value);
    EXPECT_TRUE(deleteAll(http, www));
    EXPECT_EQ(StoreText("http://" + www + "/"), "");
    EXPECT_EQ(StoreText("http://other.del" + n + ".test/"), "");
    // Nothing to delete.
    EXPECT_TRUE(deleteAll(http, "empty" + n + ".srv"));
    // A cookie held for a wider domain cannot be deleted through the host: the deletion
    // ends and says so, and the cookie stays.
    const std::string deep = "a.wide" + n + ".test";
    Store("http://" + deep + "/", "w", "1; domain=wide" + n + ".test; path=/");
    EXPECT_FALSE(deleteAll(http, deep));
    EXPECT_EQ(StoreText("http://" + deep + "/"), "w=1");
  }
}

}  // namespace
}  // namespace tessaro
