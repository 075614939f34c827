// File, folder and system services that the class and the application rely on.
// All report failure through their results and never show a message (but MessageBox).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "values/values.h"

namespace tessaro {

// ---- Basic services ----
// True when at least one file or folder matches the path ("*" and "?" allowed in its last part).
bool FileExists(std::string_view path);
// The whole file, read while no one may write it; "" for a missing, locked or unreadable
// file, a folder, an empty file or an empty path.
ByteSet ReadWholeFile(std::string_view path);
// A modal message box; without a display the caption and text go to standard error and the
// result is 0. Flags are the Windows ones (0 OK only, 16 stop icon, 0x1000 system-modal).
std::int32_t MessageBox(std::string_view text, std::int32_t flags = 0,
                        std::string_view caption = {});

// ---- Files ----
using FileNumber = std::int32_t;  // positive; 0 means none

bool CopyFileTo(std::string_view source, std::string_view target);
bool RemoveFile(std::string_view path);
// mode 1..6 and share 1..4 as documented in values/services.cpp.
FileNumber OpenFileHandle(std::string_view path, std::int32_t mode = 3, std::int32_t share = 1);
FileNumber OpenMemoryFile();
void CloseFileHandle(FileNumber f);
std::int32_t FileLength(FileNumber f);
bool SeekToStart(FileNumber f);
bool SeekToEnd(FileNumber f);
bool WriteBytesToFile(FileNumber f, std::initializer_list<std::string_view> parts);
template <class... Bs>
bool WriteBytesToFile(FileNumber f, const Bs&... parts) {
  return WriteBytesToFile(f, {parts.view()...});
}
bool WriteTextToFile(FileNumber f, std::initializer_list<std::string_view> parts);
bool AtEndOfFile(FileNumber f, bool nulIsEnd = false);
TextValue ReadLine(FileNumber f);

// ---- Directory search ----
class FindState;  // an open directory search
struct SearchState {
  std::unique_ptr<FindState> search;
  SearchState();
  ~SearchState();
  SearchState(SearchState&&) noexcept;
  SearchState& operator=(SearchState&&) noexcept;
};
inline constexpr std::int32_t kAttrReadOnly = 0x01;
inline constexpr std::int32_t kAttrHidden = 0x02;
inline constexpr std::int32_t kAttrSystem = 0x04;
inline constexpr std::int32_t kAttrFolder = 0x10;
inline constexpr std::int32_t kAttrArchive = 0x20;
TextValue FindFile(std::string_view pattern, std::int32_t attributeMask, bool filesOnly,
                   SearchState& state);
void EndFindFile(SearchState& state);

// ---- System ----
std::int32_t UptimeMs();
void ProcessEvents();
TextValue RunDirectory();
TextValue ReadRegistryText(std::int32_t root, std::string_view path,
                           std::string_view defaultText = {});

// ---- COM automation (the one class the system uses) ----
class ComObjectImpl;
struct ComObject {
  std::unique_ptr<ComObjectImpl> object;
  ComObject();
  ~ComObject();
  ComObject(ComObject&&) noexcept;
  ComObject& operator=(ComObject&&) noexcept;
};
bool CreateComObject(ComObject& var, std::string_view className);
// Arguments are texts here; the one method the system calls takes a path and a bool.
std::int32_t CallComMethod(ComObject& var, std::string_view member, std::string_view textArg,
                           bool flag = false);
void ClearComObject(ComObject& var);

}  // namespace tessaro
