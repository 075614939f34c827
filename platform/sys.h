// The system services of the platform: files with share modes, directory listing, the
// registry hive, special folders, short paths, the one COM class, the message box, the GUI
// event pump and the default browser. Plain C++; the Linux backend is in linux/.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace tessaro::platform {

// ---- Folders the class works in ----
// The per-user base folder that stands for the Windows Internet cache folder (CSIDL 32):
// $XDG_CACHE_HOME/tessaro/ (or ~/.cache/tessaro/), with a trailing "/".
std::string InternetCacheFolder();
// The folder the cookie files live in when the registry hive names none:
// $XDG_DATA_HOME/tessaro/Cookies/ (or ~/.local/share/tessaro/Cookies/), trailing "/".
std::string DefaultCookiesFolder();
// The Cookies folder as the browser uses it: the hive's Shell Folders value "Cookies" when
// present, else DefaultCookiesFolder(). Without a trailing "/".
std::string CookiesFolder();
// The path of the file-backed registry hive: $XDG_CONFIG_HOME/tessaro/registry.ini.
std::string RegistryHivePath();
// SHGetSpecialFolderLocation + SHGetPathFromIDListA: 32 the cache base above (without the
// trailing "/"), 1 $TMPDIR or /tmp; "" for any other folder.
std::string SpecialFolderPath(int csidl);
// GetShortPathNameA: the canonical absolute path of an existing path, "" for a missing one.
std::string ShortPath(std::string_view path);

}  // namespace tessaro::platform
