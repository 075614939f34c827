// The file, folder, registry, COM and system services, on temporary folders.
#include "values/services.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys.h"

extern char** environ;

namespace tessaro {
namespace {

namespace fs = std::filesystem;

std::string Slurp(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void Put(const fs::path& p, std::string_view bytes) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// A fresh folder per test; the XDG folders point into it so the hive and the default
// folders never touch the user's own.
class ServicesTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "tessaro-services-XXXXXX").string();
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    setenv("XDG_CONFIG_HOME", (dir_ / "config").c_str(), 1);
    setenv("XDG_CACHE_HOME", (dir_ / "cache").c_str(), 1);
    setenv("XDG_DATA_HOME", (dir_ / "data").c_str(), 1);
  }
  void TearDown() override {
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(dir_, ec)) {
      fs::permissions(e.path(), fs::perms::owner_all, fs::perm_options::add, ec);
    }
    fs::remove_all(dir_, ec);
  }
  std::string P(std::string_view name) const { return (dir_ / name).string(); }

  void WriteHive(std::string_view text) {
    fs::create_directories(dir_ / "config" / "tessaro");
    Put(dir_ / "config" / "tessaro" / "registry.ini", text);
  }

  fs::path dir_;
};

// ---- Open modes and shares ----

TEST_F(ServicesTest, OpenModesCreateKeepOrEmptyAndStartAtZero) {
  struct Case {
    int mode;
    bool exists;
    bool opens;
    const char* afterWritingX;  // content after writing "X" at the start; null: not written
    const char* firstLine;      // what ReadLine gives at the start
  };
  const Case cases[] = {
      {1, true, true, nullptr, "abc"},  {1, false, false, nullptr, ""},
      {2, true, true, "Xbc", ""},       {2, false, false, nullptr, ""},
      {3, true, true, "Xbc", "abc"},    {3, false, false, nullptr, ""},
      {4, true, true, "X", ""},         {4, false, true, "X", ""},
      {5, true, true, "Xbc", ""},       {5, false, true, "X", ""},
      {6, true, true, "Xbc", "abc"},    {6, false, true, "X", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE("mode " + std::to_string(c.mode) + (c.exists ? " existing" : " missing"));
    std::string path = P("f" + std::to_string(c.mode) + (c.exists ? "e" : "m"));
    if (c.exists) Put(path, "abc");
    FileNumber f = OpenFileHandle(path, c.mode);
    EXPECT_EQ(f != 0, c.opens);
    if (f == 0) {
      EXPECT_FALSE(fs::exists(path) && !c.exists) << "a failed open must not create";
      continue;
    }
    EXPECT_EQ(ReadLine(f), c.firstLine);
    SeekToStart(f);
    bool wrote = WriteTextToFile(f, {"X"});
    EXPECT_EQ(wrote, c.afterWritingX != nullptr);
    CloseFileHandle(f);
    EXPECT_EQ(Slurp(path), c.afterWritingX ? c.afterWritingX : "abc");
  }
}

TEST_F(ServicesTest, InvalidModesSharesAndPathsOpenNothing) {
  Put(P("a"), "abc");
  EXPECT_EQ(OpenFileHandle(P("a"), 0), 0);
  EXPECT_EQ(OpenFileHandle(P("a"), 7), 0);
  EXPECT_EQ(OpenFileHandle(P("a"), 1, 0), 0);
  EXPECT_EQ(OpenFileHandle(P("a"), 1, 5), 0);
  EXPECT_EQ(OpenFileHandle("", 6), 0);
  EXPECT_EQ(OpenFileHandle(dir_.string(), 1), 0) << "a folder is not a file";
}

TEST_F(ServicesTest, SharesDecideWhetherASecondOpenerGetsIn) {
  struct Case {
    int firstMode, firstShare, secondMode, secondShare;
    bool secondOpens;
  };
  const Case cases[] = {
      {3, 1, 3, 1, true},   // both share everything
      {1, 3, 1, 1, true},   // writing denied, a reader may come
      {1, 3, 2, 1, false},  // ... a writer may not
      {1, 2, 1, 1, false},  // reading denied
      {1, 2, 2, 1, true},   // ... writing allowed
      {1, 4, 1, 1, false},  // exclusive
      {2, 4, 2, 1, false},
      {2, 1, 1, 3, false},  // the second denies writing, but the first writes
      {1, 1, 1, 2, false},  // the second denies reading, but the first reads
      {1, 1, 1, 3, true},   // the second denies writing, the first only reads
      {2, 1, 1, 1, true},
      {1, 3, 4, 1, false},  // emptying counts as writing
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.firstMode << "/" << c.firstShare << " then "
                                      << c.secondMode << "/" << c.secondShare);
    Put(P("s"), "keep");
    FileNumber a = OpenFileHandle(P("s"), c.firstMode, c.firstShare);
    ASSERT_NE(a, 0);
    FileNumber b = OpenFileHandle(P("s"), c.secondMode, c.secondShare);
    EXPECT_EQ(b != 0, c.secondOpens);
    if (!c.secondOpens) {
      EXPECT_EQ(Slurp(P("s")), "keep") << "a refused open changed the file";
    }
    CloseFileHandle(b);
    CloseFileHandle(a);
    // Closing the first lets anyone in again.
    FileNumber again = OpenFileHandle(P("s"), 3, 4);
    EXPECT_NE(again, 0);
    CloseFileHandle(again);
  }
}

// The exclusive opener is another process that uses the same layer.
TEST_F(ServicesTest, ExclusiveOpenInAnotherProcessKeepsThisOneOut) {
  Put(P("x"), "data");
  int ready[2], release[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(release), 0);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    FileNumber f = OpenFileHandle(P("x"), 2, 4);
    char c = f != 0 ? 'y' : 'n';
    (void)!write(ready[1], &c, 1);
    (void)!read(release[0], &c, 1);
    _exit(0);
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(OpenFileHandle(P("x"), 1, 1), 0);
  EXPECT_TRUE(ReadWholeFile(P("x")).empty());
  (void)!write(release[1], "x", 1);
  int status = 0;
  waitpid(child, &status, 0);
  FileNumber f = OpenFileHandle(P("x"), 1, 1);
  EXPECT_NE(f, 0);
  CloseFileHandle(f);
  for (int fd : {ready[0], ready[1], release[0], release[1]}) close(fd);
}

// ---- Reading, writing, memory files ----

TEST_F(ServicesTest, ReadLineOnDiskAndMemoryFiles) {
  struct Case {
    std::string bytes;
    std::vector<std::string> lines;  // read until AtEndOfFile
  };
  const std::vector<Case> cases = {
      {"a\r\nb", {"a", "b"}},
      {"a\n\nb\n", {"a", "", "b"}},
      {"a\r\r\n", {"a\r"}},                  // only one CR goes
      {"\xB0\x0A" "x\ny", {"\xB0\x0A" "x", "y"}},  // LF as a trail byte is no line end
      {"ab\xB0", {"ab\xB0"}},                  // a lead byte at the very end stays
      {std::string(5000, 'q') + "\nz", {std::string(5000, 'q'), "z"}},
  };
  for (bool memory : {false, true}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(::testing::Message() << (memory ? "memory " : "disk ") << ::testing::PrintToString(c.bytes));
      FileNumber f;
      if (memory) {
        f = OpenMemoryFile();
        ASSERT_TRUE(WriteBytesToFile(f, ByteSet(c.bytes)));
        SeekToStart(f);
      } else {
        Put(P("lines"), c.bytes);
        f = OpenFileHandle(P("lines"), 1);
      }
      ASSERT_NE(f, 0);
      std::vector<std::string> got;
      while (!AtEndOfFile(f) && got.size() < 10) got.push_back(ReadLine(f));
      EXPECT_EQ(got, c.lines);
      EXPECT_EQ(ReadLine(f), "");
      CloseFileHandle(f);
    }
  }
}

TEST_F(ServicesTest, NulAndEofByteStopALineAndStay) {
  FileNumber f = OpenMemoryFile();
  WriteTextToFile(f, {"ab"});
  WriteBytesToFile(f, ByteSet(std::string("\0cd\x1A", 4)));
  SeekToStart(f);
  EXPECT_EQ(ReadLine(f), "ab");
  EXPECT_TRUE(AtEndOfFile(f, true));
  EXPECT_FALSE(AtEndOfFile(f));
  EXPECT_EQ(ReadLine(f), "") << "the position stays on the NUL";
  EXPECT_TRUE(AtEndOfFile(f, true));
  CloseFileHandle(f);
}

TEST_F(ServicesTest, MemoryFileGrowsAndOverwritesAtThePosition) {
  FileNumber f = OpenMemoryFile();
  ASSERT_GT(f, 0);
  EXPECT_EQ(FileLength(f), 0);
  EXPECT_TRUE(AtEndOfFile(f));
  EXPECT_TRUE(WriteTextToFile(f, {"ab", "c"}));
  EXPECT_EQ(FileLength(f), 3);
  SeekToStart(f);
  WriteTextToFile(f, {"X"});
  SeekToEnd(f);
  WriteTextToFile(f, {"d"});
  SeekToStart(f);
  EXPECT_EQ(ReadLine(f), "Xbcd");
  FileNumber g = OpenMemoryFile();
  EXPECT_NE(f, g);
  CloseFileHandle(g);
  CloseFileHandle(f);
}

TEST_F(ServicesTest, ClosedNumberIsInvalidEverywhere) {
  Put(P("c"), "abc");
  FileNumber f = OpenFileHandle(P("c"), 3);
  ASSERT_NE(f, 0);
  CloseFileHandle(f);
  CloseFileHandle(f);  // ignored
  EXPECT_FALSE(WriteBytesToFile(f, ByteSet("zz")));
  EXPECT_EQ(Slurp(P("c")), "abc");
  EXPECT_EQ(FileLength(f), -1);
  EXPECT_FALSE(SeekToStart(f));
  EXPECT_FALSE(SeekToEnd(f));
  EXPECT_TRUE(AtEndOfFile(f));
  EXPECT_EQ(ReadLine(f), "");
  FileNumber next = OpenMemoryFile();
  EXPECT_NE(next, f) << "a closed number must not name the next file at once";
  CloseFileHandle(next);
}

TEST_F(ServicesTest, FailedWriteLeavesThePosition) {
  Put(P("r"), "abc\ndef");
  FileNumber f = OpenFileHandle(P("r"), 1);  // read only
  ASSERT_NE(f, 0);
  EXPECT_FALSE(WriteTextToFile(f, {"zz"}));
  EXPECT_EQ(ReadLine(f), "abc");
  EXPECT_EQ(FileLength(f), 7);
  CloseFileHandle(f);
  EXPECT_EQ(Slurp(P("r")), "abc\ndef");
}

TEST_F(ServicesTest, CopyAndRemove) {
  Put(P("src"), std::string("a\0b", 3));
  Put(P("dst"), "longer old content");
  EXPECT_TRUE(CopyFileTo(P("src"), P("dst")));
  EXPECT_EQ(Slurp(P("dst")), std::string("a\0b", 3));
  EXPECT_FALSE(CopyFileTo(P("missing"), P("dst2")));
  EXPECT_FALSE(fs::exists(P("dst2")));

  FileNumber held = OpenFileHandle(P("dst"), 1, 1);
  EXPECT_FALSE(RemoveFile(P("dst"))) << "a file open here cannot be removed";
  CloseFileHandle(held);
  EXPECT_TRUE(RemoveFile(P("dst")));
  EXPECT_FALSE(fs::exists(P("dst")));
  EXPECT_FALSE(RemoveFile(P("dst")));
  fs::create_directory(P("folder"));
  EXPECT_FALSE(RemoveFile(P("folder")));
  EXPECT_TRUE(fs::exists(P("folder")));
}

// ---- Directory search ----

std::vector<std::string> AllMatches(std::string_view pattern, int mask, bool filesOnly) {
  SearchState state;
  std::vector<std::string> names;
  for (std::string n = FindFile(pattern, mask, filesOnly, state); !n.empty() && names.size() < 50;
       n = FindFile("", mask, filesOnly, state)) {
    names.push_back(n);
  }
  EXPECT_EQ(state.search, nullptr) << "the search is cleared at its end";
  return names;
}

TEST_F(ServicesTest, FindFileMasksAndWildcards) {
  fs::create_directory(P("d"));
  for (const char* n : {"a.txt", "b.TXT", ".hidden", "ro.txt", "c.dat", "ab.txt", "noext"}) {
    Put(P(std::string("d/") + n), "x");
  }
  fs::permissions(P("d/ro.txt"), fs::perms::owner_write, fs::perm_options::remove);
  fs::create_directory(P("d/sub"));
  fs::create_directory(P("d/sub.txt"));
  using V = std::vector<std::string>;
  struct Case {
    const char* pattern;
    int mask;
    bool filesOnly;
    V expected;
  };
  const Case cases[] = {
      {"d/*.txt", 0, true, V{"a.txt", "ab.txt", "ro.txt"}},
      {"d/*.txt", 0x10, false, V{"sub.txt"}},
      {"d/?.txt", 0, true, V{"a.txt"}},
      {"d/*", 0x10, false, V{".", "..", "sub", "sub.txt"}},
      {"d/*.*", 0x10, false, V{".", "..", "sub", "sub.txt"}},  // "*.*" also matches "sub"
      {"d/*.*", 0, true, V{".hidden", "a.txt", "ab.txt", "b.TXT", "c.dat", "noext", "ro.txt"}},
      {"d/*", 0x01, false, V{"ro.txt"}},
      {"d/*", 0x02, false, V{".hidden"}},
      {"d/*", 0x04, false, V{}},
      {"d/*", 0x00, false, V{}},  // every entry here has some attribute
      {"d/a*", 0x20, false, V{"a.txt", "ab.txt"}},
      {"d/noext", 0x20, false, V{"noext"}},
      {"d/missing*", 0x37, false, V{}},
      {"nowhere/*", 0x37, false, V{}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.pattern << " mask " << c.mask << " filesOnly " << c.filesOnly);
    EXPECT_EQ(AllMatches(P(c.pattern), c.mask, c.filesOnly), c.expected);
  }
}

TEST_F(ServicesTest, FindFileInEmptyFolder) {
  fs::create_directory(P("empty"));
  SearchState state;
  EXPECT_EQ(FindFile(P("empty/*.*"), 16, false, state), ".");
  EXPECT_EQ(FindFile("", 16, false, state), "..");
  EXPECT_EQ(FindFile("", 16, false, state), "");
  EXPECT_EQ(state.search, nullptr);
  EXPECT_EQ(FindFile(P("empty/*.*"), 16, true, state), "");
  EXPECT_EQ(FindFile("", 16, false, state), "") << "nothing to continue";
}

TEST_F(ServicesTest, NewPatternRestartsAndEndFindFileCloses) {
  fs::create_directory(P("d"));
  Put(P("d/one"), "1");
  Put(P("d/two"), "2");
  SearchState state;
  EXPECT_EQ(FindFile(P("d/*"), 0, true, state), "one");
  EXPECT_EQ(FindFile(P("d/t*"), 0, true, state), "two");
  EXPECT_EQ(FindFile(P("d/*"), 0, true, state), "one");
  EndFindFile(state);
  EXPECT_EQ(state.search, nullptr);
  EXPECT_EQ(FindFile("", 0, true, state), "");
  EndFindFile(state);  // twice is fine
}

TEST_F(ServicesTest, FileExists) {
  fs::create_directory(P("dir"));
  Put(P("dir/file.txt"), "x");
  fs::create_directory(P("emptydir"));
  struct Case {
    std::string path;
    bool exists;
  };
  const Case cases[] = {
      {P("dir/file.txt"), true}, {P("dir"), true},          {P("dir/"), true},
      {P("dir/*.txt"), true},    {P("dir/f?le.*"), true},   {P("dir/*.dat"), false},
      {P("missing"), false},     {P("dir/file.txt/"), false}, {"", false},
  };
  for (const Case& c : cases) EXPECT_EQ(FileExists(c.path), c.exists) << c.path;
}

// ---- Whole-file read ----

// Runs a shell that holds the file open for writing until its input closes.
struct WriterProcess {
  pid_t pid = -1;
  int toChild = -1;
  explicit WriterProcess(const std::string& path) {
    int in[2], out[2];
    if (pipe(in) != 0 || pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string script = "exec 3>>'" + path + "'; echo ready; read x";
    const char* argv[] = {"/bin/sh", "-c", script.c_str(), nullptr};
    posix_spawn(&pid, "/bin/sh", &actions, nullptr, const_cast<char**>(argv), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    toChild = in[1];
    char buf[6] = {};
    (void)!read(out[0], buf, 6);
    close(out[0]);
  }
  ~WriterProcess() {
    close(toChild);
    int status = 0;
    if (pid > 0) waitpid(pid, &status, 0);
  }
};

TEST_F(ServicesTest, ReadWholeFileCases) {
  Put(P("data"), std::string("a\0\xB0\xA1", 4));
  Put(P("empty"), "");
  fs::create_directory(P("folder"));
  EXPECT_EQ(ReadWholeFile(P("data")).bytes(), std::string("a\0\xB0\xA1", 4));
  EXPECT_TRUE(ReadWholeFile(P("empty")).empty());
  EXPECT_TRUE(ReadWholeFile(P("folder")).empty());
  EXPECT_TRUE(ReadWholeFile(P("missing")).empty());
  EXPECT_TRUE(ReadWholeFile("").empty());
  mkfifo(P("fifo").c_str(), 0600);
  EXPECT_TRUE(ReadWholeFile(P("fifo")).empty()) << "and it must not hang";
}

TEST_F(ServicesTest, ReadWholeFileRefusesAFileBeingWritten) {
  Put(P("data"), "content");
  {
    FileNumber writer = OpenFileHandle(P("data"), 2, 1);
    EXPECT_TRUE(ReadWholeFile(P("data")).empty()) << "a writer in this process";
    CloseFileHandle(writer);
    FileNumber reader = OpenFileHandle(P("data"), 1, 1);
    EXPECT_EQ(ReadWholeFile(P("data")).bytes(), "content") << "readers do not stop it";
    CloseFileHandle(reader);
  }
  {
    WriterProcess other(P("data"));
    ASSERT_GT(other.pid, 0);
    EXPECT_TRUE(ReadWholeFile(P("data")).empty()) << "a writer in another process";
  }
  EXPECT_EQ(ReadWholeFile(P("data")).bytes(), "content");
}

// ---- Registry ----

TEST_F(ServicesTest, RegistryHiveValues) {
  setenv("TESSARO_TEST_VAR", "/expanded", 1);
  WriteHive(
      "; test hive\r\n"
      "[HKEY_CURRENT_USER\\Software\\Tessaro\\Test]\r\n"
      "Plain=/plain/path\r\n"
      "Expand=expand:%TESSARO_TEST_VAR%/sub/%NO_SUCH_VAR_X%\r\n"
      "Literal=sz:expand:%TESSARO_TEST_VAR%\r\n"
      "Drive=C:\\stays\r\n"
      "Number=dword:00000001\r\n"
      "@=the default\r\n"
      "[HKEY_LOCAL_MACHINE\\Software\\Tessaro]\r\n"
      "Machine=lm\r\n"
      "[HKEY_CURRENT_USER]\r\n"
      "Top=top\r\n");
  struct Case {
    int root;
    const char* path;
    const char* defaultText;
    const char* expected;
  };
  const Case cases[] = {
      {3, "Software\\Tessaro\\Test\\Plain", "", "/plain/path"},
      {3, "software\\TESSARO\\test\\PLAIN", "", "/plain/path"},
      {3, "Software\\Tessaro\\Test\\Expand", "", "/expanded/sub/%NO_SUCH_VAR_X%"},
      {3, "Software\\Tessaro\\Test\\Literal", "", "expand:%TESSARO_TEST_VAR%"},
      {3, "Software\\Tessaro\\Test\\Drive", "", "C:\\stays"},
      {3, "Software\\Tessaro\\Test\\Number", "dflt", "dflt"},
      {3, "Software\\Tessaro\\Test\\", "", "the default"},
      {3, "Software\\Tessaro\\Test\\Missing", "dflt", "dflt"},
      {3, "Software\\Tessaro\\Test\\Missing", "", ""},
      {3, "Software\\Tessaro\\Nokey\\Plain", "dflt", "dflt"},
      {4, "Software\\Tessaro\\Machine", "", "lm"},
      {3, "Software\\Tessaro\\Machine", "no", "no"},
      {99, "Software\\Tessaro\\Test\\Plain", "", "/plain/path"},  // unknown root: current user
      {3, "Top", "", "top"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ReadRegistryText(c.root, c.path, c.defaultText), c.expected) << c.root << " " << c.path;
  }
}

TEST_F(ServicesTest, CookiesFolderComesFromTheHiveOrTheDefault) {
  const char* value = "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders\\Cookies";
  std::string fallback = (dir_ / "data" / "tessaro" / "Cookies").string();
  EXPECT_EQ(ReadRegistryText(3, value), fallback) << "no hive at all";
  EXPECT_EQ(platform::CookiesFolder(), fallback);
  EXPECT_EQ(platform::DefaultCookiesFolder(), fallback + "/");
  EXPECT_EQ(ReadRegistryText(4, value, "none"), "none") << "only the current user has one";
  WriteHive(
      "[HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders]\n"
      "Cookies=/elsewhere/Cookies\n");
  EXPECT_EQ(ReadRegistryText(3, value), "/elsewhere/Cookies");
  EXPECT_EQ(platform::CookiesFolder(), "/elsewhere/Cookies");
}

// ---- COM: scripting.FileSystemObject.DeleteFile ----

TEST_F(ServicesTest, ComObjectClasses) {
  ComObject fso;
  EXPECT_FALSE(CreateComObject(fso, "Scripting.Dictionary"));
  EXPECT_EQ(fso.object, nullptr);
  EXPECT_NE(CallComMethod(fso, "DeleteFile", P("*")), 0) << "no object";
  EXPECT_TRUE(CreateComObject(fso, "SCRIPTING.filesystemobject"));
  EXPECT_NE(CallComMethod(fso, "CopyFile", P("x")), 0);
  ClearComObject(fso);
  EXPECT_EQ(fso.object, nullptr);
}

TEST_F(ServicesTest, DeleteFileWithWildcardsReadOnlyFilesAndLinks) {
  fs::create_directory(P("c"));
  fs::create_directory(P("outside"));
  Put(P("outside/keep.txt"), "keep");
  Put(P("outside/inner"), "inner");
  for (const char* n : {"a.txt", "b.txt", "ro.txt", "other.dat"}) Put(P(std::string("c/") + n), "x");
  fs::permissions(P("c/ro.txt"), fs::perms::owner_write, fs::perm_options::remove);
  fs::create_directory(P("c/folder.txt"));
  Put(P("c/folder.txt/in.txt"), "x");
  fs::create_symlink(P("outside/keep.txt"), P("c/link.txt"));
  fs::create_directory_symlink(P("outside"), P("c/dirlink.txt"));

  ComObject fso;
  ASSERT_TRUE(CreateComObject(fso, "scripting.FileSystemObject"));
  EXPECT_EQ(CallComMethod(fso, "DeleteFile", P("c/*.none")), 53) << "nothing matched";
  EXPECT_EQ(CallComMethod(fso, "DeleteFile", P("c/folder.txt")), 53) << "folders are not files";

  EXPECT_NE(CallComMethod(fso, "deletefile", P("c/*.txt"), false), 0) << "read-only left";
  EXPECT_TRUE(fs::exists(P("c/ro.txt")));
  EXPECT_FALSE(fs::exists(P("c/a.txt")));
  EXPECT_FALSE(fs::exists(P("c/b.txt")));
  EXPECT_FALSE(fs::is_symlink(P("c/link.txt")));
  EXPECT_FALSE(fs::is_symlink(P("c/dirlink.txt")));
  EXPECT_EQ(Slurp(P("outside/keep.txt")), "keep") << "a link is never followed";
  EXPECT_EQ(Slurp(P("outside/inner")), "inner");
  EXPECT_TRUE(fs::exists(P("c/folder.txt/in.txt"))) << "never recurses";
  EXPECT_TRUE(fs::exists(P("c/other.dat")));

  EXPECT_EQ(CallComMethod(fso, "DeleteFile", P("c/*.txt"), true), 0);
  EXPECT_FALSE(fs::exists(P("c/ro.txt")));
  EXPECT_EQ(CallComMethod(fso, "DeleteFile", P("c/other.dat"), true), 0);
  EXPECT_FALSE(fs::exists(P("c/other.dat")));
  ClearComObject(fso);
}

// ---- Folders and system ----

TEST_F(ServicesTest, ShortPathAndSpecialFolders) {
  fs::create_directories(P("x/y"));
  std::string canonical = fs::canonical(dir_).string();
  EXPECT_EQ(platform::ShortPath(P("x/y/../y")), canonical + "/x/y");
  EXPECT_EQ(platform::ShortPath(P("x/y/")), canonical + "/x/y/");
  EXPECT_EQ(platform::ShortPath(P("x/missing")), "");
  EXPECT_EQ(platform::ShortPath(""), "");
  EXPECT_EQ(platform::SpecialFolderPath(32), (dir_ / "cache" / "tessaro").string());
  EXPECT_EQ(platform::SpecialFolderPath(5), "");
  setenv("TMPDIR", P("x").c_str(), 1);
  EXPECT_EQ(platform::SpecialFolderPath(1), P("x"));
  unsetenv("TMPDIR");
  EXPECT_EQ(platform::SpecialFolderPath(1), "/tmp");
}

TEST(SystemServicesTest, UptimeFollowsTheSystemUptime) {
  double seconds = 0;
  std::ifstream("/proc/uptime") >> seconds;
  auto expected = static_cast<std::uint32_t>(static_cast<std::uint64_t>(seconds * 1000.0));
  auto got = static_cast<std::uint32_t>(UptimeMs());
  EXPECT_LT(got - expected, 2000u) << got << " vs " << expected;  // wraps like the tick count
}

TEST(SystemServicesTest, RunDirectoryHoldsThisProgram) {
  TextValue dir = RunDirectory();
  ASSERT_FALSE(dir.empty());
  EXPECT_NE(dir.back(), '/');
  EXPECT_TRUE(fs::exists(dir + "/" + program_invocation_short_name));
}

TEST(SystemServicesTest, ProcessEventsWithoutGuiDoesNothing) {
  ProcessEvents();
  std::thread([] { ProcessEvents(); }).join();
}

TEST(MessageBoxDeathTest, WithoutDisplayWritesToStandardErrorAndReturnsZero) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  auto run = [](std::string_view caption) {
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    std::int32_t r = MessageBox(Gbk("领取完毕"), 4, caption);
    std::exit(r == 0 ? 7 : 1);
  };
  EXPECT_EXIT(run({}), ::testing::ExitedWithCode(7), "信息：.*领取完毕");
  EXPECT_EXIT(run(Gbk("错误")), ::testing::ExitedWithCode(7), "错误.*领取完毕");
}

}  // namespace
}  // namespace tessaro
