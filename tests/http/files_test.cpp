// The cookie and cache files, on temporary folders standing in for the user's: the XDG
// folders and the registry hive point into a fresh folder for every test.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "http/files.h"
#include "http/http_class.h"
#include "platform/inet.h"

namespace tessaro {
namespace {

namespace fs = std::filesystem;

void Touch(const fs::path& p, bool readOnly = false) {
  fs::create_directories(p.parent_path());
  std::ofstream(p) << "x";
  if (readOnly) ::chmod(p.c_str(), 0444);
}

// The names of the regular files and links under folder, relative to it, sorted.
std::set<std::string> Tree(const fs::path& folder) {
  std::set<std::string> out;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator();
       ++it) {
    if (!it->is_directory() || it->is_symlink())
      out.insert(it->path().lexically_relative(folder).string());
    if (it->is_symlink()) it.disable_recursion_pending();
  }
  return out;
}

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/tessaro-files-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    top_ = pattern;
    ::setenv("XDG_CONFIG_HOME", (top_ / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (top_ / "cache").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (top_ / "data").c_str(), 1);
    cookies_ = top_ / "cookies";
    cacheRoot_ = top_ / "cache" / "tessaro" / "Content.IE5";
    fs::create_directories(cookies_);
    fs::create_directories(cacheRoot_);
    SetCookiesValue(cookies_.string());
    oldCwd_ = fs::current_path();
    // Whatever an escaped search would find in the current directory must survive.
    fs::create_directories(top_ / "cwd");
    Touch(top_ / "cwd" / "here.txt");
    Touch(top_ / "cwd" / "sub" / "there.gif");
    fs::current_path(top_ / "cwd");
  }
  void TearDown() override {
    fs::current_path(oldCwd_);
    std::error_code ignored;
    fs::remove_all(top_, ignored);
  }

  // The hive's Shell Folders value "Cookies"; none at all for nullopt.
  void SetCookiesValue(std::optional<std::string> value) {
    fs::create_directories(top_ / "config" / "tessaro");
    std::ofstream hive(top_ / "config" / "tessaro" / "registry.ini", std::ios::trunc);
    hive << "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell "
            "Folders]\n";
    if (value) hive << "Cookies=" << *value << "\n";
  }

  void ExpectCwdUntouched() {
    EXPECT_EQ(Tree(top_ / "cwd"), (std::set<std::string>{"here.txt", "sub/there.gif"}));
  }

  fs::path top_, cookies_, cacheRoot_, oldCwd_;
  HTTP类 http_;
};

// ---- Cookie files ----

TEST_F(FilesTest, DeleteCookieFilesByFilter) {
  struct Case {
    const char* filter;
    std::set<std::string> left;
  };
  const std::set<std::string> all = {"alice@site.txt", "Alice@other.txt", "bob@site.txt",
                                     "ro@site.txt",    "notes.dat",       "sub/inner@site.txt",
                                     "a*.txt",         "abc.txt"};
  const Case cases[] = {
      // Every "*.txt", read-only included; other files and subfolders stay.
      {"", {"notes.dat", "sub/inner@site.txt"}},
      {"site", {"Alice@other.txt", "notes.dat", "sub/inner@site.txt", "a*.txt", "abc.txt"}},
      // Case matters.
      {"alice",
       {"Alice@other.txt", "bob@site.txt", "ro@site.txt", "notes.dat", "sub/inner@site.txt",
        "a*.txt", "abc.txt"}},
      {"nobody", all},
      // A filter is matched against names; it never names a path.
      {"/", all},
      {"../outside", all},
      // A name holding a wildcard goes alone, not as a pattern over the others.
      {"a*",
       {"alice@site.txt", "Alice@other.txt", "bob@site.txt", "ro@site.txt", "notes.dat",
        "sub/inner@site.txt", "abc.txt"}},
  };
  Touch(top_ / "outside.txt");
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string("filter \"") + c.filter + "\"");
    fs::remove_all(cookies_);
    for (const std::string& name : all) Touch(cookies_ / name, name == "ro@site.txt");
    http_.DeleteCookieFiles(c.filter);
    EXPECT_EQ(Tree(cookies_), c.left);
    EXPECT_TRUE(fs::exists(top_ / "outside.txt"));
  }
  ExpectCwdUntouched();
}

TEST_F(FilesTest, DeleteCookieFilesUsesTheDefaultFolderWithoutHiveValue) {
  SetCookiesValue(std::nullopt);
  const fs::path defaults = top_ / "data" / "tessaro" / "Cookies";
  Touch(defaults / "a@site.txt");
  Touch(cookies_ / "b@site.txt");
  http_.DeleteCookieFiles({});
  EXPECT_FALSE(fs::exists(defaults / "a@site.txt"));
  EXPECT_TRUE(fs::exists(cookies_ / "b@site.txt"));
}

TEST_F(FilesTest, EmptyCookiesPathDeletesNothing) {
  SetCookiesValue("");
  Touch(cookies_ / "a@site.txt");
  Touch(top_ / "data" / "tessaro" / "Cookies" / "b@site.txt");
  for (const char* filter : {"", "site", "here"}) {
    http_.DeleteCookieFiles(filter);
    EXPECT_TRUE(fs::exists(cookies_ / "a@site.txt"));
    EXPECT_TRUE(fs::exists(top_ / "data" / "tessaro" / "Cookies" / "b@site.txt"));
    ExpectCwdUntouched();
  }
}

TEST_F(FilesTest, DeleteCookieFilesEndsTheSessionFirst) {
  const char* url = "http://127.0.0.1/";
  auto cookies = [&] {
    char buffer[512] = {};
    std::uint32_t size = sizeof buffer;
    return inet::InternetGetCookieA(url, nullptr, buffer, &size) ? std::string(buffer)
                                                                 : std::string();
  };
  // Without cookie files, and without a Cookies path at all, the session still ends.
  for (std::optional<std::string> value :
       {std::optional<std::string>(cookies_.string()), std::optional<std::string>("")}) {
    SetCookiesValue(value);
    ASSERT_TRUE(inet::InternetSetCookieA(url, "session", "1"));
    ASSERT_NE(cookies().find("session=1"), std::string::npos);
    http_.DeleteCookieFiles({});
    EXPECT_EQ(cookies().find("session=1"), std::string::npos);
  }
}

// ---- Cache files ----

class CacheTest : public FilesTest {
 protected:
  void SetUp() override {
    FilesTest::SetUp();
    Touch(cacheRoot_ / "B2" / "b.gif");
    Touch(cacheRoot_ / "B2" / "a.htm");
    Touch(cacheRoot_ / "A1" / "z.gif");
    Touch(cacheRoot_ / "A1" / "c.htm");
    Touch(cacheRoot_ / "A1" / "ro.gif", true);
    Touch(cacheRoot_ / "A1" / "deep" / "nested.gif");
    Touch(cacheRoot_ / "index.dat");
    Touch(top_ / "elsewhere" / "target.gif");
    Touch(top_ / "elsewhere" / "folder" / "kept.gif");
    fs::create_symlink(top_ / "elsewhere" / "target.gif", cacheRoot_ / "A1" / "link.gif");
    fs::create_symlink(top_ / "elsewhere" / "folder", cacheRoot_ / "C3");
  }
  std::string Root() const { return fs::canonical(cacheRoot_).string() + "/"; }
};

TEST_F(CacheTest, ClearCacheEmptiesTheDirectSubfoldersOnly) {
  http_.ClearCache();
  // Read-only files stay; links go as links; nested folders, root files and whatever a
  // linked subfolder leads to stay.
  EXPECT_EQ(Tree(cacheRoot_),
            (std::set<std::string>{"A1/ro.gif", "A1/deep/nested.gif", "index.dat", "C3"}));
  EXPECT_TRUE(fs::is_directory(cacheRoot_ / "B2"));
  EXPECT_TRUE(fs::exists(top_ / "elsewhere" / "target.gif"));
  EXPECT_TRUE(fs::exists(top_ / "elsewhere" / "folder" / "kept.gif"));
  ExpectCwdUntouched();
}

TEST_F(CacheTest, ListCacheFilesInSearchOrder) {
  const std::string root = Root();
  TextValue pattern;
  ValueArray<TextValue> files{"stale"};
  EXPECT_EQ(http_.ListCacheFiles(pattern, files), 6);
  EXPECT_EQ(pattern, "*.*");
  EXPECT_EQ(files.items(),
            (std::vector<TextValue>{root + "A1/c.htm", root + "A1/link.gif", root + "A1/ro.gif",
                                    root + "A1/z.gif", root + "B2/a.htm", root + "B2/b.gif"}));

  pattern = "*.gif";
  EXPECT_EQ(http_.ListCacheFiles(pattern, files), 4);
  EXPECT_EQ(pattern, "*.gif");
  EXPECT_EQ(files.items(), (std::vector<TextValue>{root + "A1/link.gif", root + "A1/ro.gif",
                                                   root + "A1/z.gif", root + "B2/b.gif"}));

  // A pattern names files of each subfolder, never of another folder.
  for (const char* outward : {"../*.*", "deep/*.gif", "../../elsewhere/*.gif"}) {
    pattern = outward;
    EXPECT_EQ(http_.ListCacheFiles(pattern, files), 0) << outward;
    EXPECT_EQ(files.Count(), 0);
  }
}

TEST_F(CacheTest, PathsBeginWithTheShortFormOfTheRoot) {
  // A cache folder reached through a link and a ".." still lists under its canonical path.
  fs::create_directories(top_ / "via");
  fs::create_directory_symlink(top_ / "cache", top_ / "alias");
  ::setenv("XDG_CACHE_HOME", (top_ / "via" / ".." / "alias").c_str(), 1);
  TextValue pattern = "a.htm";
  ValueArray<TextValue> files;
  ASSERT_EQ(http_.ListCacheFiles(pattern, files), 1);
  EXPECT_EQ(files[1], Root() + "B2/a.htm");
  EXPECT_EQ(Root().find("alias"), std::string::npos);
  EXPECT_EQ(http::CacheRoot(), Root());
}

TEST_F(CacheTest, MissingCacheRootTouchesNothing) {
  fs::remove_all(top_ / "cache");
  Touch(top_ / "cwd" / "Content.IE5" / "A1" / "x.gif");
  http_.ClearCache();
  TextValue pattern;
  ValueArray<TextValue> files{"stale"};
  EXPECT_EQ(http_.ListCacheFiles(pattern, files), 0);
  EXPECT_EQ(files.Count(), 0);
  EXPECT_EQ(pattern, "*.*");
  EXPECT_EQ(Tree(top_ / "cwd"),
            (std::set<std::string>{"here.txt", "sub/there.gif", "Content.IE5/A1/x.gif"}));
}

TEST_F(CacheTest, CollectFilesAppends) {
  const std::string root = Root();
  ValueArray<TextValue> files{"kept"};
  http_.CollectFiles(root + "B2/", "*.*", files);
  // A folder without its "/" is still that folder.
  http_.CollectFiles(root + "A1", "*.htm", files);
  EXPECT_EQ(files.items(), (std::vector<TextValue>{"kept", root + "B2/a.htm", root + "B2/b.gif",
                                                   root + "A1/c.htm"}));
  for (const char* outward : {"../*.*", "deep/*.*"}) {
    http_.CollectFiles(root + "A1/", outward, files);
    EXPECT_EQ(files.Count(), 4) << outward;
  }
  http_.CollectFiles({}, "*.*", files);
  EXPECT_EQ(files.Count(), 4);
}

TEST_F(CacheTest, DeleteFilesInFolderStaysInItsFolder) {
  // Siblings whose names begin like the folder: "A1" + "*.*" would match them.
  Touch(cacheRoot_ / "A1.txt");
  Touch(cacheRoot_ / "A1x.gif");
  http_.DeleteFilesInFolder((cacheRoot_ / "A1").string());
  EXPECT_EQ(Tree(cacheRoot_ / "A1"), (std::set<std::string>{"ro.gif", "deep/nested.gif"}));
  EXPECT_TRUE(fs::exists(cacheRoot_ / "A1.txt"));
  EXPECT_TRUE(fs::exists(cacheRoot_ / "A1x.gif"));
  EXPECT_TRUE(fs::exists(top_ / "elsewhere" / "target.gif"));
  http_.DeleteFilesInFolder({});
  ExpectCwdUntouched();
}

// ---- The two folder routines ----

TEST_F(FilesTest, SpecialFolderPathAndShortPath) {
  for (const std::string& tmp : {top_.string() + "/t", top_.string() + "/t/"}) {
    ::setenv("TMPDIR", tmp.c_str(), 1);
    EXPECT_EQ(http::SpecialFolderPath(1), top_.string() + "/t/") << tmp;
  }
  ::unsetenv("TMPDIR");
  EXPECT_EQ(http::SpecialFolderPath(32), (top_ / "cache").string() + "/tessaro/");
  EXPECT_EQ(http::SpecialFolderPath(5), "");
  EXPECT_EQ(http::ShortPath((top_ / "missing").string()), "");
  EXPECT_EQ(http::ShortPath((top_ / "cwd" / ".." / "cwd" / "here.txt").string()),
            fs::canonical(top_ / "cwd" / "here.txt").string());
}

}  // namespace
}  // namespace tessaro
