// GetPageLinks over pages served by the event-server, and the scanner's searches checked
// against the text operations on random pages.
#include <glib.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>
#include <vector>

#include "http/http_class.h"
#include "support/event_server_env.h"

namespace tessaro {

void PrintTo(const LinkRecord& r, std::ostream* os) {
  *os << "{text \"" << r.text << "\", href \"" << r.href << "\", imageSrc \"" << r.imageSrc
      << "\"}";
}

namespace {

struct PageCase {
  const char* name;
  std::string page;
  // Written for a page at http://srv/dir/page.htm.
  std::vector<LinkRecord> links;
};

const std::vector<PageCase>& Cases() {
  static const std::vector<PageCase> cases = {
      {"quoted", R"(<a href="x.htm">Next</a>)", {{"Next", "http://srv/dir/x.htm", ""}}},
      {"upper case, root-relative",
       R"(<A HREF="/top/y.htm">Up</A>)",
       {{"Up", "http://srv/top/y.htm", ""}}},
      {"unquoted", "<a href=z.htm>Go</a>", {{"Go", "http://srv/dir/z.htm", ""}}},
      // The blank in the text ends the unquoted value after the tag's ">".
      {"unquoted, blank in text", "<a href=z.htm>Go on</a>", {}},
      {"mailto", R"(<a href="mailto:me">Mail</a>)", {{"Mail", "mailto:me", ""}}},
      {"absolute", R"(<a href="http://other/p">P</a>)", {{"P", "http://other/p", ""}}},
      {"upper-case scheme is joined",
       R"(<a href="HTTP://other/p">P</a>)",
       {{"P", "http://srv/dir/HTTP://other/p", ""}}},
      {"later attribute",
       R"(<a href="x.htm" target=_blank>X</a>)",
       {{"X", "http://srv/dir/x.htm", ""}}},
      {"first attribute wins",
       R"(<a class="nav" href="x.htm">X</a>)",
       {{"X", "http://srv/dir/nav", ""}}},
      {"text after nested tag",
       R"(<a href="x.htm"><b>Bold</b> tail</a>)",
       {{"Bold", "http://srv/dir/x.htm", ""}}},
      {"image, quoted",
       R"(<a href="x.htm"><img src="/i/a.gif"></a>)",
       {{"", "http://srv/dir/x.htm", "http://srv/i/a.gif"}}},
      {"image, unquoted",
       R"(<a href="x.htm"><img border=0 src=b.gif></a>)",
       {{"", "http://srv/dir/x.htm", "http://srv/dir/b.gif"}}},
      {"image in upper case",
       R"(<a href="x.htm"><IMG SRC="http://cdn/c.gif"></a>)",
       {{"", "http://srv/dir/x.htm", "http://cdn/c.gif"}}},
      {"image without src",
       R"(<a href="x.htm"><img alt="pic"></a>)",
       {{"", "http://srv/dir/x.htm", ""}}},
      // An unquoted source cut by a blank after the image tag's ">" is not read.
      {"image source cut by later blank",
       R"(<a href="x.htm"><img src=c.gif> big</a>)",
       {{" big", "http://srv/dir/x.htm", ""}}},
      {"empty target", R"(<a href="">Here</a>)", {{"Here", "http://srv/dir/", ""}}},
      {"name only", R"(<a name="top"></a>)", {{"", "http://srv/dir/top", ""}}},
      {"no equals sign", "<a>plain</a>", {}},
      {"single quotes kept", "<a href='x.htm'>X</a>", {{"X", "http://srv/dir/'x.htm'", ""}}},
      {"joined, not resolved",
       R"(<a href="../x.htm">1</a><a href="?p=2">2</a><a href="#top">3</a><a href="//cdn/x">4</a>)",
       {{"1", "http://srv/dir/../x.htm", ""},
        {"2", "http://srv/dir/?p=2", ""},
        {"3", "http://srv/dir/#top", ""},
        {"4", "http://srv//cdn/x", ""}}},
      // A tag starting with "a" opens a piece that runs to the next "</a>".
      {"abbr swallows the anchor",
       R"(<abbr title="t">T</abbr> <a href="q.htm">Q</a>)",
       {{"T", "http://srv/dir/t", ""}}},
      {"open anchor runs into the next",
       R"(<a href="a.htm">A <a href="b.htm">B</a>)",
       {{"A ", "http://srv/dir/a.htm", ""}}},
      {"skipped anchors do not stop the scan",
       R"(<a>plain</a><p><a href="1.htm">1</a> <a href=z.htm>Go on</a> <a href="2.htm">2</a>)",
       {{"1", "http://srv/dir/1.htm", ""}, {"2", "http://srv/dir/2.htm", ""}}},
      {"missing close ends the scan",
       R"(<a href="1.htm">1</a> <a href="2.htm">2 <a href="3.htm">3)",
       {{"1", "http://srv/dir/1.htm", ""}}},
      {"no anchors", "<html><body><p>nothing</p></body></html>", {}},
      // GBK text passes byte for byte.
      {"GBK text",
       "<a href=\"n.htm\">\xCF\xC2\xD2\xBB\xD2\xB3</a>",
       {{"\xCF\xC2\xD2\xBB\xD2\xB3", "http://srv/dir/n.htm", ""}}},
      // After a lone lead byte the "<" is its second byte, so no anchor starts there.
      {"lead byte hides the anchor", "\xB0<a href=\"x.htm\">X</a>", {}},
      {"two lead bytes form a character",
       "\xB0\xB0<a href=\"x.htm\">X</a>",
       {{"X", "http://srv/dir/x.htm", ""}}},
  };
  return cases;
}

// The expectation for a page at url: http://srv stands for the root and http://srv/dir/
// for the directory.
std::string ForPage(const std::string& v, const std::string& root, const std::string& dir) {
  const std::string srvDir = "http://srv/dir/", srv = "http://srv";
  if (v.compare(0, srvDir.size(), srvDir) == 0) return dir + v.substr(srvDir.size());
  if (v.compare(0, srv.size(), srv) == 0) return root + v.substr(srv.size());
  return v;
}

std::string Escaped(const std::string& bytes) {
  gchar* e = g_uri_escape_string(bytes.c_str(), nullptr, FALSE);
  std::string out(e);
  g_free(e);
  return out;
}

// Fetched pages land in the response cache and cookies in the Cookies folder: keep both in
// a temporary folder instead of the user's.
class TemporaryUserFolders : public ::testing::Environment {
 public:
  void SetUp() override {
    char pattern[] = "/tmp/tessaro-links-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    top_ = pattern;
    for (const char* variable : {"XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
      ::setenv(variable, (top_ + "/" + variable).c_str(), 1);
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::remove_all(top_, ignored);
  }

 private:
  std::string top_;
};

const auto* const kTemporaryUserFolders =
    ::testing::AddGlobalTestEnvironment(new TemporaryUserFolders);

class LinksTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(server_.Running()) << server_.Error(); }
  testing::EventServer& server_ = testing::SharedEventServer();
};

const LinkRecord kStale{"stale", "http://stale/", "http://stale/i.gif"};

TEST_F(LinksTest, AnchorsOfServedPages) {
  const std::string root = server_.Url("");
  const std::string dir = server_.Url("/pages/dir/");
  HTTP类 http;
  for (const PageCase& c : Cases()) {
    SCOPED_TRACE(c.name);
    std::vector<LinkRecord> expected;
    for (const LinkRecord& r : c.links)
      expected.push_back({r.text, ForPage(r.href, root, dir), ForPage(r.imageSrc, root, dir)});
    ValueArray<LinkRecord> links{kStale, kStale};
    const std::int32_t n =
        http.GetPageLinks(server_.Url("/pages/dir/page.htm?html=" + Escaped(c.page)), links);
    EXPECT_EQ(n, static_cast<std::int32_t>(expected.size()));
    EXPECT_EQ(links.items(), expected);
  }
}

// The sample page holds the documented anchors one after another; the records come in page
// order and the skipped anchors leave no gap.
TEST_F(LinksTest, SamplePageInPageOrder) {
  const std::string root = server_.Url("");
  const std::string dir = server_.Url("/pages/dir/");
  auto r = [&](const char* text, const char* href, const char* img) {
    return LinkRecord{text, ForPage(href, root, dir), ForPage(img, root, dir)};
  };
  const std::vector<LinkRecord> expected = {
      r("Next", "http://srv/dir/x.htm", ""),
      r("Up", "http://srv/top/y.htm", ""),
      r("Go", "http://srv/dir/z.htm", ""),
      r("Mail", "mailto:me", ""),
      r("P", "http://other/p", ""),
      r("P", "http://srv/dir/HTTP://other/p", ""),
      r("X", "http://srv/dir/x.htm", ""),
      r("X", "http://srv/dir/nav", ""),
      r("Bold", "http://srv/dir/x.htm", ""),
      r("", "http://srv/dir/x.htm", "http://srv/i/a.gif"),
      r("", "http://srv/dir/x.htm", "http://srv/dir/b.gif"),
      r("", "http://srv/dir/x.htm", ""),
      r("Here", "http://srv/dir/", ""),
      r("", "http://srv/dir/top", ""),
      r("X", "http://srv/dir/'x.htm'", ""),
  };
  HTTP类 http;
  ValueArray<LinkRecord> links;
  EXPECT_EQ(http.GetPageLinks(server_.Url("/pages/dir/page.htm"), links),
            static_cast<std::int32_t>(expected.size()));
  EXPECT_EQ(links.items(), expected);
}

TEST_F(LinksTest, PageThatCannotBeFetchedGivesNothingAndReleasesTheOldList) {
  HTTP类 http;
  for (const std::string& url : {server_.Url("/pages/dir/page.htm?drop=1"),
                                 std::string("http://127.0.0.1:1/dir/page.htm")}) {
    SCOPED_TRACE(url);
    ValueArray<LinkRecord> links{kStale};
    EXPECT_EQ(http.GetPageLinks(url, links), 0);
    EXPECT_EQ(links.Count(), 0);
  }
}

// ---- The scanner against the text operations ----

// The extraction written with FindText and TextMid, search for search, for comparison.
ValueArray<LinkRecord> ByTextOperations(const std::string& page, const std::string& root,
                                        const std::string& dir) {
  auto absolute = [&](const std::string& v, bool mailto) -> std::string {
    if (TextLeft(v, 1) == "/") return root + v;
    if (mailto && TextLeft(v, 7) == "mailto:") return v;
    if (TextLeft(v, 7) != "http://") return dir + v;
    return v;
  };
  auto nearer = [](std::int32_t blank, std::int32_t quote) {
    if (blank == -1) return quote;
    return quote != -1 && quote < blank ? quote : blank;
  };
  ValueArray<LinkRecord> out;
  std::int32_t close = 0;
  for (;;) {
    const std::int32_t start = FindText(page, "<a", close + 1, true);
    if (start == -1) break;
    close = FindText(page, "</a>", start, true);
    if (close == -1) break;
    const std::string piece = TextMid(page, start, close - start + 4);
    std::int32_t eq = FindText(piece, "=", 1);
    if (eq == -1) continue;
    if (TextMid(piece, eq + 1, 1) == "\"") ++eq;
    std::int32_t stop = nearer(FindText(piece, " ", eq + 1), FindText(piece, "\"", eq + 1));
    if (stop == -1) {
      stop = FindText(piece, ">", eq + 1);
      if (FindText(piece, "<", eq + 1) < stop) continue;
    }
    if (stop == -1 || FindText(piece, ">", 1) < stop) continue;
    LinkRecord rec;
    rec.href = absolute(TextMid(piece, eq + 1, stop - eq - 1), true);
    for (std::int32_t p = eq;;) {
      p = FindText(piece, ">", p + 1);
      if (TextMid(piece, p + 1, 1) != "<") {
        const std::int32_t lt = FindText(piece, "<", p);
        rec.text = lt == -1 ? "" : TextMid(piece, p + 1, lt - p - 1);
        break;
      }
    }
    const std::int32_t img = FindText(piece, "<img", 1, true);
    const std::int32_t s = img == -1 ? -1 : FindText(piece, "src=", img, true);
    if (s != -1) {
      const std::int32_t q = TextMid(piece, s + 4, 1) == "\"" ? s + 4 : s + 3;
      std::int32_t st = nearer(FindText(piece, " ", q + 1), FindText(piece, "\"", q + 1));
      bool ok = true;
      if (st == -1) {
        st = FindText(piece, ">", q + 1);
        ok = !(FindText(piece, "<", q + 1) < st);
      }
      if (ok && st != -1 && !(FindText(piece, ">", q) < st))
        rec.imageSrc = absolute(TextMid(piece, q + 1, st - q - 1), false);
    }
    out.Append(rec);
  }
  return out;
}

std::string gMemoryPage;

TextValue MemoryPage(HTTP类&, const TextValue&) {
  return gMemoryPage;
}

// Random pages of the scanner's own tokens, lead bytes among them, must give exactly what
// the plain searches give.
TEST(LinksScannerTest, AgreesWithTheTextOperationsOnRandomPages) {
  HttpMethodTable table = kHttpMethodTable;
  table.GetPageText = MemoryPage;
  HTTP类 http(&table);
  const std::string url = "http://srv/dir/page.htm";
  static const char* const kTokens[] = {
      "<a",      "<A",      "</a>", "</A>",     "<a href=", "=",      "\"", " ",
      ">",       "<",       "<img", "<IMG ",    "src=",     "SRC=\"", "x",  "/",
      "http://", "mailto:", "\xB0", "\xB0\xA1", "\x81<",    "<b>"};
  std::mt19937 rng(20240424);
  std::uniform_int_distribution<std::size_t> token(0, std::size(kTokens) - 1);
  std::uniform_int_distribution<int> length(0, 60);
  for (int round = 0; round < 20000; ++round) {
    gMemoryPage.clear();
    for (int i = length(rng); i > 0; --i) gMemoryPage += kTokens[token(rng)];
    ValueArray<LinkRecord> links;
    http.GetPageLinks(url, links);
    const auto expected = ByTextOperations(gMemoryPage, "http://srv", "http://srv/dir/");
    ASSERT_EQ(links.items(), expected.items()) << "page: " << gMemoryPage;
  }
}

}  // namespace
}  // namespace tessaro
