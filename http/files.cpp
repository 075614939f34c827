// The browser's cookie files and cache files on disk.
//
// Every path built here starts at the Cookies folder or at the cache root, and the names
// appended to them come from directory searches, so they hold no "/". What could leave those
// folders is guarded where it enters: an empty folder path (which would stand for "/" or for
// the current directory), a pattern with a "/" in it, and a cache subfolder that is really a
// symbolic link to somewhere else.
#include "http/files.h"

#include <filesystem>
#include <string_view>
#include <system_error>

#include "platform/inet.h"
#include "platform/sys.h"
#include "values/services.h"

namespace tessaro::http {
namespace {

constexpr std::int32_t kCurrentUser = 3;
constexpr std::string_view kCookiesValuePath =
    "Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\Shell Folders\\Cookies";
constexpr std::int32_t kInternetCacheFolder = 32;
constexpr std::string_view kAllEntries = "*.*";

bool IsDotEntry(std::string_view name) {
  return name == "." || name == "..";
}

// A folder path as the searches need it: ending in "/". A path without its "/" would turn
// "folder" + "*.*" into a pattern over the parent folder's names.
TextValue WithSlash(const TextValue& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

// A cache subfolder that is a symbolic link leads out of the cache; it is never entered.
bool IsSymbolicLink(const TextValue& path) {
  std::error_code error;
  return std::filesystem::symlink_status(path, error).type() == std::filesystem::file_type::symlink;
}

// Calls visit(name) for each direct subfolder of the cache root, in search order, while
// the search is open.
template <class Visit>
void ForEachCacheSubfolder(const TextValue& root, Visit visit) {
  SearchState search;
  for (TextValue name = FindFile(root + TextValue(kAllEntries), kAttrFolder, false, search);
       !name.empty(); name = FindFile({}, kAttrFolder, false, search)) {
    if (IsDotEntry(name) || IsSymbolicLink(root + name)) continue;
    visit(name);
  }
  EndFindFile(search);
}

}  // namespace

TextValue SpecialFolderPath(std::int32_t folder) {
  TextValue path = platform::SpecialFolderPath(folder);
  if (path.empty()) return {};
  return WithSlash(path);
}

TextValue ShortPath(const TextValue& path) {
  return platform::ShortPath(path);
}

TextValue CacheRoot() {
  const TextValue base = SpecialFolderPath(kInternetCacheFolder);
  // Without a base, "Content.IE5/" would name a folder of the current directory.
  if (base.empty()) return {};
  return WithSlash(ShortPath(base + "Content.IE5/"));
}

TextValue CookiesFolder() {
  return ReadRegistryText(kCurrentUser, kCookiesValuePath);
}

void DeleteCookieFiles(HTTP类& /*self*/, const TextValue& filter) {
  inet::InternetSetOptionA(0, inet::kOptionEndBrowserSession, nullptr, 0);
  const TextValue folder = CookiesFolder();
  // An empty path would make "/*.txt" of the wildcard: the root folder's files.
  if (folder.empty()) return;
  ComObject fileSystem;
  if (!CreateComObject(fileSystem, "scripting.FileSystemObject")) return;
  if (filter.empty()) {
    // One call takes every cookie file, read-only ones too (force).
    CallComMethod(fileSystem, "DeleteFile", folder + "/*.txt", true);
  } else {
    SearchState search;
    for (TextValue name = FindFile(folder + "/*.txt", 0, true, search); !name.empty();
         name = FindFile({}, 0, true, search)) {
      if (FindText(name, filter) < 1) continue;
      const TextValue path = folder + "/" + name;
      if (name.find_first_of("*?") != TextValue::npos) {
        // DeleteFile would read such a name as a wildcard and take other cookie files with
        // it; this one file goes alone (read-only or not, as with force).
        std::error_code error;
        std::filesystem::remove(std::filesystem::path(path), error);
        continue;
      }
      CallComMethod(fileSystem, "DeleteFile", path, true);
    }
    EndFindFile(search);
  }
  ClearComObject(fileSystem);
  // The cookies of the deleted files go with them, or the next change would save them again.
  inet::ForgetCookiesWithoutFiles();
}

void ClearCache(HTTP类& self) {
  const TextValue root = CacheRoot();
  // Without a root the search would run in the current directory.
  if (root.empty()) return;
  ForEachCacheSubfolder(root, [&](const TextValue& name) {
    self.Table().DeleteFilesInFolder(self, root + name + "/");
  });
}

void DeleteFilesInFolder(HTTP类& /*self*/, const TextValue& folder) {
  // An empty folder would be the current directory.
  if (folder.empty()) return;
  const TextValue dir = WithSlash(folder);
  SearchState search;
  for (TextValue name = FindFile(dir + TextValue(kAllEntries), 0, true, search); !name.empty();
       name = FindFile({}, 0, true, search)) {
    RemoveFile(dir + name);
    ProcessEvents();
  }
  EndFindFile(search);
}

std::int32_t ListCacheFiles(HTTP类& self, TextValue& pattern, ValueArray<TextValue>& files) {
  files.Clear();
  if (pattern.empty()) pattern = TextValue(kAllEntries);
  const TextValue root = CacheRoot();
  if (root.empty()) return 0;
  ForEachCacheSubfolder(root, [&](const TextValue& name) {
    self.Table().CollectFiles(self, root + name + "/", pattern, files);
  });
  return ArrayCount(files);
}

void CollectFiles(HTTP类& /*self*/, const TextValue& folder, const TextValue& pattern,
                  ValueArray<TextValue>& files) {
  // A pattern names files of this folder only; with a "/" it would reach into another.
  if (folder.empty() || pattern.empty() || pattern.find('/') != TextValue::npos) return;
  const TextValue dir = WithSlash(folder);
  SearchState search;
  for (TextValue name = FindFile(dir + pattern, 0, true, search); !name.empty();
       name = FindFile({}, 0, true, search)) {
    AppendMember(files, dir + name);
    ProcessEvents();
  }
  EndFindFile(search);
}

}  // namespace tessaro::http
