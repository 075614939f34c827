// The browser's files on disk: the cookie files in the user's Cookies folder and the cached
// files in the direct subfolders of the cache root. Paths use "/" as the separator.
#pragma once

#include <cstdint>

#include "http/http_class.h"

namespace tessaro::http {

// Ends the browser session (session cookies leave the store), then deletes the "*.txt" files
// of the Cookies folder: all of them, or those whose name holds filter (case matters).
void DeleteCookieFiles(HTTP类& self, const TextValue& filter);
// Deletes every file in every direct subfolder of the cache root.
void ClearCache(HTTP类& self);
// Deletes every file (not the subfolders) in folder, a path ending in "/".
void DeleteFilesInFolder(HTTP类& self, const TextValue& folder);
// Replaces files with the paths of the cached files that match pattern ("*.*" when empty,
// written back); returns their number.
std::int32_t ListCacheFiles(HTTP类& self, TextValue& pattern, ValueArray<TextValue>& files);
// Appends folder + name for each file of folder that matches pattern.
void CollectFiles(HTTP类& self, const TextValue& folder, const TextValue& pattern,
                  ValueArray<TextValue>& files);

// The path of a shell folder, ending in "/": 32 the Internet cache, 1 the temporary folder;
// "" for a folder the system does not have.
TextValue SpecialFolderPath(std::int32_t folder);
// The short (canonical) form of an existing path, "" for a missing one. A trailing "/" of
// path is kept.
TextValue ShortPath(const TextValue& path);
// The cache root: ShortPath of SpecialFolderPath(32) + "Content.IE5/"; "" when it does not
// exist.
TextValue CacheRoot();
// The Cookies folder as the registry names it, without a trailing "/"; may be "".
TextValue CookiesFolder();

}  // namespace tessaro::http
