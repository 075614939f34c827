// The system services of the platform: files with share modes, directory listing, the
// registry hive, special folders, short paths, the one COM class, the message box, the GUI
// event pump and the default browser. Plain C++; the Linux backend is in linux/.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

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
// A trailing "/" on a folder is kept, as the Windows call keeps its trailing backslash.
std::string ShortPath(std::string_view path);

// ---- Files with share modes ----
// Share modes are enforced among every opener of this process (one table for the process)
// and, through open-file-description locks, among processes that use this layer; other
// programs are not held back, since Linux has no mandatory sharing.
using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;
enum class FileAccess { kRead, kWrite, kReadWrite };
enum class FileCreation {
  kMustExist,       // fails when the file is missing
  kCreateOrEmpty,   // created when missing, emptied when present
  kCreateOrKeep,    // created when missing, content kept
};
enum class FileShare {
  kReadWrite,  // others may read and write
  kWriteOnly,  // others may write, reading denied
  kReadOnly,   // others may read, writing denied
  kNone,       // exclusive
};
// Opens a regular file; kNoFile for a missing file, a folder or anything that is not a
// regular file, a sharing conflict or any other failure. Emptying happens only after the
// sharing check has passed.
FileHandle OpenSharedFile(std::string_view path, FileAccess access, FileCreation creation,
                          FileShare share);
void CloseSharedFile(FileHandle h);
// Bytes read at offset (0 at the end), or -1 on failure.
std::int64_t ReadFileAt(FileHandle h, std::int64_t offset, char* buffer, std::size_t size);
// Writes all bytes at offset; false when not all could be written.
bool WriteFileAt(FileHandle h, std::int64_t offset, std::string_view bytes);
// The file's length, or -1.
std::int64_t FileSizeOf(FileHandle h);

// The whole content of a regular file, read while no process may write it: a read lease
// makes the read fail while anyone holds the file open for writing. Where leases are not
// allowed (another owner, a file system without them) the read goes on with only this
// process's openers checked. False for a missing or unreadable file, a folder or a conflict.
bool ReadWholeFileDenyWrite(std::string_view path, std::string& content);
// CopyFileA: an existing target is overwritten. Honours the share table for both files.
bool CopyFileOver(std::string_view source, std::string_view target);
// DeleteFileA: fails for a folder, a read-only file (no owner write permission) and a file
// this process holds open. A symbolic link is removed itself.
bool RemoveFileAt(std::string_view path);

// ---- Directory listing ----
inline constexpr std::uint32_t kAttributeReadOnly = 0x01;
inline constexpr std::uint32_t kAttributeHidden = 0x02;
inline constexpr std::uint32_t kAttributeSystem = 0x04;
inline constexpr std::uint32_t kAttributeFolder = 0x10;
inline constexpr std::uint32_t kAttributeArchive = 0x20;
struct DirEntry {
  std::string name;  // without its folder
  std::uint32_t attributes = 0;
};
// The entries that match a path whose last part may hold "*" and "?" ("*.*" matches every
// name, as on Windows). "." and ".." come first when they match, the rest in byte order.
// Attributes: read-only = no owner write permission, hidden = a name starting with "."
// (but "." and ".."), folder, archive = a regular file; system never.
std::vector<DirEntry> FindEntries(std::string_view pattern);

// ---- scripting.FileSystemObject.DeleteFile ----
// Deletes the files (never folders) that match a path whose last part may hold wildcards.
// A symbolic link is removed itself, never followed; nothing recurses. Read-only files are
// deleted only with force. 0 on success; 53 when nothing matched, 70 when a read-only file
// was left, 75 when a delete failed otherwise (the automation error numbers).
int DeleteMatchingFiles(std::string_view pattern, bool force);

// ---- Registry ----
// Roots as the registry numbers them here.
inline constexpr int kRootClassesRoot = 1;
inline constexpr int kRootCurrentConfig = 2;
inline constexpr int kRootCurrentUser = 3;
inline constexpr int kRootLocalMachine = 4;
inline constexpr int kRootUsers = 5;
// Reads a text value (REG_SZ as is, REG_EXPAND_SZ with %VARIABLES% expanded) from the hive
// at RegistryHivePath(). An empty valueName is the key's default value ("@" in the file).
// Key paths and value names compare without regard to ASCII case. False when the key or
// the value is missing or has another type. The hive format:
//   [HKEY_CURRENT_USER\Software\Some Key]
//   Name=text               a REG_SZ
//   Other=expand:%HOME%/x   a REG_EXPAND_SZ
//   Number=dword:00000001   any other "type:" prefix is another type (sz: forces REG_SZ)
//   @=text                  the default value
// Lines starting with ";" or "#" are comments.
bool ReadRegistryString(int root, std::string_view keyPath, std::string_view valueName,
                        std::string& value);

// ---- System ----
// Milliseconds since boot as the 32-bit tick count (wraps after about 49.7 days).
std::uint32_t UptimeMs();
// The folder of the running program's file, without a trailing "/".
std::string RunDirectory();

// ---- GUI ----
// Initialises GTK on the calling thread, which becomes the GUI thread. False without a
// display. Safe to call more than once.
bool InitGui();
// Windows message box flags and results: results 0 OK, 1 Cancel, 2 Abort, 3 Retry,
// 4 Ignore, 5 Yes, 6 No, 9 Try Again, 10 Continue. Texts are UTF-8. Without a display, or
// when called off the GUI thread, the caption and the text go to standard error and the
// result is 0.
int ShowMessageBox(std::string_view textUtf8, std::string_view captionUtf8, std::uint32_t flags);
// Runs the pending GTK events without waiting, on the GUI thread only; elsewhere, or when
// GTK is not initialised, it does nothing.
void ProcessPendingEvents();
// Opens a URL in the user's default browser; false, quietly, when none can be started.
bool OpenInDefaultBrowser(std::string_view url);

}  // namespace tessaro::platform
