// File, folder, registry, COM and event services over the platform layer.
//
// Open modes of OpenFileHandle:
//   1 read, 2 write, 3 read and write: the file must exist, its content is kept;
//   4 write: created when missing, emptied when present;
//   5 write, 6 read and write: created when missing, content kept.
// Every mode starts at position 0. Shares: 1 others may read and write, 2 others may only
// write, 3 others may only read, 4 exclusive.
//
// Paths pass to the platform byte for byte, so a path the platform gave out (a folder, a
// found name) always finds its way back.
#include "values/services.h"

#include <algorithm>
#include <map>
#include <mutex>

#include "platform/sys.h"

namespace tessaro {
namespace {

namespace pf = tessaro::platform;

// One open file: a platform file or a growing block of memory, with its own position.
struct OpenFile {
  bool memory = false;
  pf::FileHandle handle = pf::kNoFile;
  std::string content;  // memory files only
  std::int64_t position = 0;
  std::mutex use;  // a number is used by one thread at a time; this keeps a misuse safe
};

std::mutex g_filesMutex;
std::map<FileNumber, std::shared_ptr<OpenFile>> g_files;
FileNumber g_lastNumber = 0;

// Numbers are handed out in rising order, so a closed number stays invalid for a long time
// instead of naming the next file opened.
FileNumber AddFile(std::shared_ptr<OpenFile> file) {
  std::lock_guard lock(g_filesMutex);
  do {
    g_lastNumber = g_lastNumber == INT32_MAX ? 1 : g_lastNumber + 1;
  } while (g_files.count(g_lastNumber) != 0);
  g_files.emplace(g_lastNumber, std::move(file));
  return g_lastNumber;
}

std::shared_ptr<OpenFile> FindOpen(FileNumber f) {
  std::lock_guard lock(g_filesMutex);
  auto it = g_files.find(f);
  return it == g_files.end() ? nullptr : it->second;
}

std::int64_t LengthOf(const OpenFile& file) {
  return file.memory ? static_cast<std::int64_t>(file.content.size())
                     : pf::FileSizeOf(file.handle);
}

bool WriteAt(OpenFile& file, std::string_view bytes) {
  if (!file.memory) return pf::WriteFileAt(file.handle, file.position, bytes);
  auto at = static_cast<std::size_t>(file.position);
  if (at > file.content.size()) file.content.resize(at, '\0');
  file.content.replace(at, std::min(bytes.size(), file.content.size() - at), bytes);
  return true;
}

// Up to size bytes from offset; -1 when the file cannot be read (a write-only file).
std::int64_t ReadAt(OpenFile& file, std::int64_t offset, char* buffer, std::size_t size) {
  if (!file.memory) return pf::ReadFileAt(file.handle, offset, buffer, size);
  auto at = static_cast<std::size_t>(offset);
  if (at >= file.content.size()) return 0;
  std::size_t n = std::min(size, file.content.size() - at);
  std::copy_n(file.content.data() + at, n, buffer);
  return static_cast<std::int64_t>(n);
}

bool WriteParts(FileNumber f, std::initializer_list<std::string_view> parts) {
  auto file = FindOpen(f);
  if (!file) return false;
  std::lock_guard use(file->use);
  std::int64_t start = file->position;
  for (std::string_view part : parts) {
    if (!WriteAt(*file, part)) {
      file->position = start;
      return false;
    }
    file->position += static_cast<std::int64_t>(part.size());
  }
  return true;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
           return lower(x) == lower(y);
         });
}

bool HasWildcard(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

bool Accepted(std::uint32_t attributes, std::int32_t mask, bool filesOnly) {
  if (filesOnly) return (attributes & pf::kAttributeFolder) == 0;
  auto wanted = static_cast<std::uint32_t>(mask) & 0x37u;
  if (wanted == 0) return (attributes & 0x37u) == 0;
  return (attributes & wanted) != 0;
}

}  // namespace

// ---- Basic services ----

bool FileExists(std::string_view path) {
  if (path.empty()) return false;
  std::size_t slash = path.rfind('/');
  std::string_view last = slash == std::string_view::npos ? path : path.substr(slash + 1);
  // Without wildcards the path itself is looked up, so "folder/" and a dangling link count.
  if (!HasWildcard(last) && !pf::ShortPath(path).empty()) return true;
  return !pf::FindEntries(path).empty();
}

ByteSet ReadWholeFile(std::string_view path) {
  std::string content;
  if (!pf::ReadWholeFileDenyWrite(path, content)) return {};
  return ByteSet(std::move(content));
}

std::int32_t MessageBox(std::string_view text, std::int32_t flags, std::string_view caption) {
  std::string captionUtf8 = caption.empty() ? std::string("信息：") : ToUtf8(caption);
  auto bits = static_cast<std::uint32_t>(flags);
  if ((bits & 0x1000u) == 0) bits |= 0x2000u;  // task-modal unless system-modal was asked
  return pf::ShowMessageBox(ToUtf8(text), captionUtf8, bits);
}

// ---- Files ----

bool CopyFileTo(std::string_view source, std::string_view target) {
  return pf::CopyFileOver(source, target);
}

bool RemoveFile(std::string_view path) { return pf::RemoveFileAt(path); }

FileNumber OpenFileHandle(std::string_view path, std::int32_t mode, std::int32_t share) {
  if (path.empty() || mode < 1 || mode > 6 || share < 1 || share > 4) return 0;
  static constexpr pf::FileAccess kAccess[] = {
      pf::FileAccess::kRead,  pf::FileAccess::kWrite, pf::FileAccess::kReadWrite,
      pf::FileAccess::kWrite, pf::FileAccess::kWrite, pf::FileAccess::kReadWrite};
  static constexpr pf::FileCreation kCreation[] = {
      pf::FileCreation::kMustExist,     pf::FileCreation::kMustExist,
      pf::FileCreation::kMustExist,     pf::FileCreation::kCreateOrEmpty,
      pf::FileCreation::kCreateOrKeep,  pf::FileCreation::kCreateOrKeep};
  static constexpr pf::FileShare kShare[] = {pf::FileShare::kReadWrite, pf::FileShare::kWriteOnly,
                                             pf::FileShare::kReadOnly, pf::FileShare::kNone};
  auto m = static_cast<std::size_t>(mode - 1);
  pf::FileHandle h = pf::OpenSharedFile(path, kAccess[m], kCreation[m],
                                        kShare[static_cast<std::size_t>(share - 1)]);
  if (h == pf::kNoFile) return 0;
  auto file = std::make_shared<OpenFile>();
  file->handle = h;
  return AddFile(std::move(file));
}

FileNumber OpenMemoryFile() {
  auto file = std::make_shared<OpenFile>();
  file->memory = true;
  return AddFile(std::move(file));
}

void CloseFileHandle(FileNumber f) {
  std::shared_ptr<OpenFile> file;
  {
    std::lock_guard lock(g_filesMutex);
    auto it = g_files.find(f);
    if (it == g_files.end()) return;
    file = std::move(it->second);
    g_files.erase(it);
  }
  std::lock_guard use(file->use);
  // Writes go straight to the file, so there is nothing left to write out.
  if (!file->memory) pf::CloseSharedFile(file->handle);
  file->handle = pf::kNoFile;
  file->content.clear();
}

std::int32_t FileLength(FileNumber f) {
  auto file = FindOpen(f);
  if (!file) return -1;
  std::lock_guard use(file->use);
  std::int64_t n = LengthOf(*file);
  return n < 0 || n > INT32_MAX ? -1 : static_cast<std::int32_t>(n);
}

bool SeekToStart(FileNumber f) {
  auto file = FindOpen(f);
  if (!file) return false;
  std::lock_guard use(file->use);
  file->position = 0;
  return true;
}

bool SeekToEnd(FileNumber f) {
  auto file = FindOpen(f);
  if (!file) return false;
  std::lock_guard use(file->use);
  std::int64_t n = LengthOf(*file);
  if (n < 0) return false;
  file->position = n;
  return true;
}

bool WriteBytesToFile(FileNumber f, std::initializer_list<std::string_view> parts) {
  return WriteParts(f, parts);
}

bool WriteTextToFile(FileNumber f, std::initializer_list<std::string_view> parts) {
  return WriteParts(f, parts);
}

bool AtEndOfFile(FileNumber f, bool nulIsEnd) {
  auto file = FindOpen(f);
  if (!file) return true;
  std::lock_guard use(file->use);
  if (file->position >= LengthOf(*file)) return true;
  if (!nulIsEnd) return false;
  char b = 0;
  if (ReadAt(*file, file->position, &b, 1) != 1) return true;
  return b == '\0' || b == '\x1A';
}

TextValue ReadLine(FileNumber f) {
  auto file = FindOpen(f);
  if (!file) return {};
  std::lock_guard use(file->use);
  std::string line;
  std::size_t scan = 0;  // next byte of line to look at
  bool ended = false;    // no more bytes after line
  std::int64_t next = file->position;
  auto have = [&](std::size_t i) {
    while (i >= line.size() && !ended) {
      char buffer[4096];
      std::int64_t n = ReadAt(*file, next, buffer, sizeof buffer);
      if (n <= 0) {
        ended = true;
        break;
      }
      line.append(buffer, static_cast<std::size_t>(n));
      next += n;
    }
    return i < line.size();
  };
  std::int64_t consumed = -1;  // bytes the position moves on by
  while (have(scan)) {
    auto b = static_cast<unsigned char>(line[scan]);
    if (b == 0x0A) {
      consumed = static_cast<std::int64_t>(scan) + 1;
      break;
    }
    if (b == 0x00 || b == 0x1A) {
      consumed = static_cast<std::int64_t>(scan);
      break;
    }
    // A lead byte takes the byte after it along, so an LF there is a trail byte, not an end.
    scan += IsLeadByte(b) ? 2u : 1u;
  }
  if (consumed < 0) {
    scan = std::min(scan, line.size());
    consumed = static_cast<std::int64_t>(scan);
  }
  line.resize(scan);
  file->position += consumed;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return line;
}

// ---- Directory search ----

class FindState {
 public:
  std::vector<pf::DirEntry> entries;
  std::size_t next = 0;
};

SearchState::SearchState() = default;
SearchState::~SearchState() = default;
SearchState::SearchState(SearchState&&) noexcept = default;
SearchState& SearchState::operator=(SearchState&&) noexcept = default;

TextValue FindFile(std::string_view pattern, std::int32_t attributeMask, bool filesOnly,
                   SearchState& state) {
  if (!pattern.empty()) {
    state.search = std::make_unique<FindState>();
    state.search->entries = pf::FindEntries(pattern);
  }
  if (!state.search) return {};
  FindState& s = *state.search;
  while (s.next < s.entries.size()) {
    const pf::DirEntry& e = s.entries[s.next++];
    if (Accepted(e.attributes, attributeMask, filesOnly)) return e.name;
  }
  state.search.reset();
  return {};
}

void EndFindFile(SearchState& state) { state.search.reset(); }

// ---- System ----

std::int32_t UptimeMs() { return static_cast<std::int32_t>(pf::UptimeMs()); }

void ProcessEvents() { pf::ProcessPendingEvents(); }

TextValue RunDirectory() { return pf::RunDirectory(); }

TextValue ReadRegistryText(std::int32_t root, std::string_view path,
                           std::string_view defaultText) {
  std::size_t slash = path.rfind('\\');
  std::string_view key = slash == std::string_view::npos ? std::string_view() : path.substr(0, slash);
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  std::string value;
  if (!pf::ReadRegistryString(root, key, name, value)) return TextValue(defaultText);
  return value;
}

// ---- COM automation ----

class ComObjectImpl {
 public:
  // The one class known here; the object keeps no state of its own.
};

ComObject::ComObject() = default;
ComObject::~ComObject() = default;
ComObject::ComObject(ComObject&&) noexcept = default;
ComObject& ComObject::operator=(ComObject&&) noexcept = default;

bool CreateComObject(ComObject& var, std::string_view className) {
  if (!EqualsIgnoreCase(className, "scripting.FileSystemObject") &&
      !EqualsIgnoreCase(className, "{0D43FE01-F093-11CF-8940-00A0C9054228}")) {
    return false;
  }
  var.object = std::make_unique<ComObjectImpl>();
  return true;
}

std::int32_t CallComMethod(ComObject& var, std::string_view member, std::string_view textArg,
                           bool flag) {
  constexpr std::int32_t kObjectNotSet = 91, kNoSuchMember = 438;
  if (!var.object) return kObjectNotSet;
  if (!EqualsIgnoreCase(member, "DeleteFile")) return kNoSuchMember;
  return pf::DeleteMatchingFiles(textArg, flag);
}

void ClearComObject(ComObject& var) { var.object.reset(); }

}  // namespace tessaro
