// Files with share modes, the directory listing and the one file-deleting COM method.
//
// Windows refuses an open that conflicts with the share modes of the other openers. Linux
// has no mandatory sharing, so the rules are kept in two places: a table of this process's
// openers (exact, under one mutex), and marker locks on the file's open file description
// (F_OFD_*) that other processes using this layer check before they open. Programs that do
// not look at the markers are not held back. The whole-file read adds a read lease, which the
// kernel refuses while any process holds the file open for writing.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <map>
#include <mutex>
#include <vector>

#include "platform/sys.h"

namespace tessaro::platform {
namespace {

struct FileKey {
  dev_t dev;
  ino_t ino;
  auto operator<=>(const FileKey&) const = default;
};

struct Opener {
  FileHandle fd;
  bool read, write;            // what this opener does
  bool shareRead, shareWrite;  // what it lets the others do
};

std::mutex& TableMutex() {
  static std::mutex m;
  return m;
}
std::map<FileKey, std::vector<Opener>>& OpenTable() {
  static std::map<FileKey, std::vector<Opener>> table;
  return table;
}
// Per handle: the key in the table and the read-only descriptor that carries the markers
// when the handle itself cannot hold a read lock (write-only handles).
struct HandleInfo {
  FileKey key;
  int markerFd;
};
std::map<FileHandle, HandleInfo>& Handles() {
  static std::map<FileHandle, HandleInfo> handles;
  return handles;
}

bool Conflicts(const Opener& a, const Opener& b) {
  return (a.read && !b.shareRead) || (a.write && !b.shareWrite) ||
         (b.read && !a.shareRead) || (b.write && !a.shareWrite);
}

// Marker bytes far beyond any real content: one per access and one per denial.
constexpr off_t kMarkerBase = off_t{1} << 62;
enum Marker : off_t { kReading = 0, kWriting = 1, kDenyingRead = 2, kDenyingWrite = 3 };

bool MarkerHeldElsewhere(int fd, Marker m) {
  struct flock lk {};
  lk.l_type = F_WRLCK;
  lk.l_whence = SEEK_SET;
  lk.l_start = kMarkerBase + m;
  lk.l_len = 1;
  if (fcntl(fd, F_OFD_GETLK, &lk) != 0) return false;  // no OFD locks here: nothing to see
  return lk.l_type != F_UNLCK;
}

void SetMarker(int fd, Marker m) {
  struct flock lk {};
  lk.l_type = F_RDLCK;
  lk.l_whence = SEEK_SET;
  lk.l_start = kMarkerBase + m;
  lk.l_len = 1;
  fcntl(fd, F_OFD_SETLK, &lk);  // best effort: a file system without OFD locks has no markers
}

// Checks the other processes' markers and sets ours. Called under the table mutex, so this
// process's own openers never race; between processes a narrow window remains.
bool ClaimMarkers(int markerFd, const Opener& o) {
  if (markerFd < 0) return true;
  if ((o.read && MarkerHeldElsewhere(markerFd, kDenyingRead)) ||
      (o.write && MarkerHeldElsewhere(markerFd, kDenyingWrite)) ||
      (!o.shareRead && MarkerHeldElsewhere(markerFd, kReading)) ||
      (!o.shareWrite && MarkerHeldElsewhere(markerFd, kWriting))) {
    return false;
  }
  if (o.read) SetMarker(markerFd, kReading);
  if (o.write) SetMarker(markerFd, kWriting);
  if (!o.shareRead) SetMarker(markerFd, kDenyingRead);
  if (!o.shareWrite) SetMarker(markerFd, kDenyingWrite);
  return true;
}

// Enters an open descriptor in the table; false (and nothing entered) on a conflict.
bool Register(FileHandle fd, const struct stat& st, Opener o) {
  o.fd = fd;
  FileKey key{st.st_dev, st.st_ino};
  int markerFd = -1;
  if (o.read) {
    markerFd = fd;
  } else {
    // A read lock needs a readable descriptor; a file without read permission gets none
    // and so no markers.
    std::string self = "/proc/self/fd/" + std::to_string(fd);
    markerFd = open(self.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  }
  std::lock_guard lock(TableMutex());
  auto& openers = OpenTable()[key];
  bool ok = std::none_of(openers.begin(), openers.end(),
                         [&](const Opener& other) { return Conflicts(o, other); }) &&
            ClaimMarkers(markerFd, o);
  if (!ok) {
    if (openers.empty()) OpenTable().erase(key);
    if (markerFd >= 0 && markerFd != fd) close(markerFd);
    return false;
  }
  openers.push_back(o);
  Handles()[fd] = HandleInfo{key, markerFd};
  return true;
}

void Unregister(FileHandle fd) {
  std::lock_guard lock(TableMutex());
  auto it = Handles().find(fd);
  if (it == Handles().end()) return;
  auto table = OpenTable().find(it->second.key);
  if (table != OpenTable().end()) {
    std::erase_if(table->second, [fd](const Opener& o) { return o.fd == fd; });
    if (table->second.empty()) OpenTable().erase(table);
  }
  if (it->second.markerFd >= 0 && it->second.markerFd != fd) close(it->second.markerFd);
  Handles().erase(it);
}

bool OpenInProcess(const struct stat& st) {
  std::lock_guard lock(TableMutex());
  return OpenTable().count(FileKey{st.st_dev, st.st_ino}) != 0;
}

Opener MakeOpener(FileAccess access, FileShare share) {
  Opener o{};
  o.read = access != FileAccess::kWrite;
  o.write = access != FileAccess::kRead;
  o.shareRead = share == FileShare::kReadWrite || share == FileShare::kReadOnly;
  o.shareWrite = share == FileShare::kReadWrite || share == FileShare::kWriteOnly;
  return o;
}

// O_NONBLOCK keeps the open from hanging on a FIFO and makes an open that would break
// another process's lease fail at once instead of waiting for the break.
int OpenRegular(const std::string& path, int flags, struct stat& st) {
  int fd = open(path.c_str(), flags | O_CLOEXEC | O_NONBLOCK, 0666);
  if (fd < 0) return -1;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return -1;
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return fd;
}

bool HasWildcard(std::string_view s) { return s.find_first_of("*?") != std::string_view::npos; }

// Windows-style name matching: "*" any run of bytes, "?" one byte; case counts, as it does
// for Linux names.
bool MatchName(std::string_view mask, std::string_view name) {
  if (mask == "*.*") mask = "*";
  std::size_t m = 0, n = 0, starM = std::string_view::npos, starN = 0;
  while (n < name.size()) {
    if (m < mask.size() && (mask[m] == '?' || mask[m] == name[n])) {
      ++m;
      ++n;
    } else if (m < mask.size() && mask[m] == '*') {
      starM = m++;
      starN = n;
    } else if (starM != std::string_view::npos) {
      m = starM + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (m < mask.size() && mask[m] == '*') ++m;
  return m == mask.size();
}

std::uint32_t AttributesOf(std::string_view name, const struct stat& st) {
  std::uint32_t a = 0;
  if (S_ISDIR(st.st_mode)) a |= kAttributeFolder;
  if (S_ISREG(st.st_mode)) a |= kAttributeArchive;
  if ((st.st_mode & S_IWUSR) == 0) a |= kAttributeReadOnly;
  if (!name.empty() && name[0] == '.' && name != "." && name != "..") a |= kAttributeHidden;
  return a;
}

struct Listed {
  std::string name;
  struct stat st;
};

// The folder part and the name mask of a pattern.
void SplitPattern(std::string_view pattern, std::string& folder, std::string& mask) {
  std::size_t slash = pattern.rfind('/');
  if (slash == std::string_view::npos) {
    folder = ".";
    mask = pattern;
  } else {
    folder = slash == 0 ? std::string("/") : std::string(pattern.substr(0, slash));
    mask = pattern.substr(slash + 1);
  }
}

// Matching entries with their own status (links not followed), "." and ".." first.
std::vector<Listed> ListMatches(std::string_view pattern) {
  std::vector<Listed> out;
  std::string folder, mask;
  SplitPattern(pattern, folder, mask);
  if (mask.empty()) return out;
  if (!HasWildcard(mask)) {
    Listed one{mask, {}};
    if (lstat(std::string(pattern).c_str(), &one.st) == 0) out.push_back(std::move(one));
    return out;
  }
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return out;
  while (const dirent* e = readdir(dir)) {
    std::string_view name = e->d_name;
    if (!MatchName(mask, name)) continue;
    Listed item{std::string(name), {}};
    if (fstatat(dirfd(dir), e->d_name, &item.st, AT_SYMLINK_NOFOLLOW) == 0) {
      out.push_back(std::move(item));
    }
  }
  closedir(dir);
  auto rank = [](const std::string& n) { return n == "." ? 0 : n == ".." ? 1 : 2; };
  std::sort(out.begin(), out.end(), [&](const Listed& a, const Listed& b) {
    return rank(a.name) != rank(b.name) ? rank(a.name) < rank(b.name) : a.name < b.name;
  });
  return out;
}

}  // namespace

FileHandle OpenSharedFile(std::string_view path, FileAccess access, FileCreation creation,
                          FileShare share) {
  if (path.empty()) return kNoFile;
  int flags = access == FileAccess::kRead    ? O_RDONLY
              : access == FileAccess::kWrite ? O_WRONLY
                                             : O_RDWR;
  if (creation != FileCreation::kMustExist) flags |= O_CREAT;
  struct stat st {};
  int fd = OpenRegular(std::string(path), flags, st);
  if (fd < 0) return kNoFile;
  if (!Register(fd, st, MakeOpener(access, share))) {
    close(fd);
    return kNoFile;
  }
  // Emptied only now: a file that another opener holds must not lose its content first.
  if (creation == FileCreation::kCreateOrEmpty && ftruncate(fd, 0) != 0) {
    CloseSharedFile(fd);
    return kNoFile;
  }
  return fd;
}

void CloseSharedFile(FileHandle h) {
  if (h < 0) return;
  Unregister(h);
  close(h);
}

std::int64_t ReadFileAt(FileHandle h, std::int64_t offset, char* buffer, std::size_t size) {
  if (h < 0 || offset < 0) return -1;
  ssize_t n;
  do {
    n = pread(h, buffer, size, static_cast<off_t>(offset));
  } while (n < 0 && errno == EINTR);
  return n;
}

bool WriteFileAt(FileHandle h, std::int64_t offset, std::string_view bytes) {
  if (h < 0 || offset < 0) return false;
  while (!bytes.empty()) {
    ssize_t n = pwrite(h, bytes.data(), bytes.size(), static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes.remove_prefix(static_cast<std::size_t>(n));
    offset += n;
  }
  return true;
}

std::int64_t FileSizeOf(FileHandle h) {
  struct stat st {};
  if (h < 0 || fstat(h, &st) != 0) return -1;
  return st.st_size;
}

bool ReadWholeFileDenyWrite(std::string_view path, std::string& content) {
  content.clear();
  if (path.empty()) return false;
  struct stat st {};
  int fd = OpenRegular(std::string(path), O_RDONLY, st);
  if (fd < 0) return false;
  if (!Register(fd, st, MakeOpener(FileAccess::kRead, FileShare::kReadOnly))) {
    close(fd);
    return false;
  }
  // A lease break is signalled to the holder; SIGIO would end the process, so the lease
  // signals with SIGURG, which is ignored by default. The lease is dropped right after the
  // read, so a writer that waits for the break is held back only that long.
  fcntl(fd, F_SETSIG, SIGURG);
  bool leased = fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
  if (!leased && errno == EAGAIN) {  // someone holds it open for writing
    CloseSharedFile(fd);
    return false;
  }
  // EACCES (another user's file) or EINVAL (no leases on this file system): go on with the
  // checks of the share table and the markers only.
  bool ok = true;
  char buffer[65536];
  for (std::int64_t offset = 0;;) {
    std::int64_t n = ReadFileAt(fd, offset, buffer, sizeof buffer);
    if (n < 0) {
      ok = false;
      break;
    }
    if (n == 0) break;
    content.append(buffer, static_cast<std::size_t>(n));
    offset += n;
  }
  if (leased) fcntl(fd, F_SETLEASE, F_UNLCK);
  CloseSharedFile(fd);
  if (!ok) content.clear();
  return ok;
}

bool CopyFileOver(std::string_view source, std::string_view target) {
  FileHandle in = OpenSharedFile(source, FileAccess::kRead, FileCreation::kMustExist,
                                 FileShare::kReadOnly);
  if (in == kNoFile) return false;
  FileHandle out = OpenSharedFile(target, FileAccess::kWrite, FileCreation::kCreateOrEmpty,
                                  FileShare::kNone);
  bool ok = out != kNoFile;
  char buffer[65536];
  for (std::int64_t offset = 0; ok;) {
    std::int64_t n = ReadFileAt(in, offset, buffer, sizeof buffer);
    if (n <= 0) {
      ok = n == 0;
      break;
    }
    ok = WriteFileAt(out, offset, std::string_view(buffer, static_cast<std::size_t>(n)));
    offset += n;
  }
  CloseSharedFile(in);
  CloseSharedFile(out);
  return ok;
}

bool RemoveFileAt(std::string_view path) {
  if (path.empty()) return false;
  std::string p(path);
  struct stat st {};
  if (lstat(p.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return false;
  if (S_ISREG(st.st_mode) && ((st.st_mode & S_IWUSR) == 0 || OpenInProcess(st))) return false;
  return unlink(p.c_str()) == 0;
}

std::vector<DirEntry> FindEntries(std::string_view pattern) {
  std::vector<DirEntry> out;
  std::string folder, mask;
  SplitPattern(pattern, folder, mask);
  for (Listed& item : ListMatches(pattern)) {
    struct stat target {};
    // Attributes of what a link points to; a dangling link keeps its own.
    std::string full = folder + "/" + item.name;
    const struct stat& st =
        S_ISLNK(item.st.st_mode) && stat(full.c_str(), &target) == 0 ? target : item.st;
    out.push_back(DirEntry{item.name, AttributesOf(item.name, st)});
  }
  return out;
}

int DeleteMatchingFiles(std::string_view pattern, bool force) {
  constexpr int kFileNotFound = 53, kPermissionDenied = 70, kAccessError = 75;
  std::string folder, mask;
  SplitPattern(pattern, folder, mask);
  int result = kFileNotFound;
  for (const Listed& item : ListMatches(pattern)) {
    if (S_ISDIR(item.st.st_mode)) continue;  // folders are never deleted, links are
    if (result == kFileNotFound) result = 0;
    bool readOnly = S_ISREG(item.st.st_mode) && (item.st.st_mode & S_IWUSR) == 0;
    if ((readOnly && !force) || (S_ISREG(item.st.st_mode) && OpenInProcess(item.st))) {
      if (result == 0) result = kPermissionDenied;
      continue;
    }
    std::string full = folder + "/" + item.name;
    if (unlink(full.c_str()) != 0 && errno != ENOENT && result == 0) result = kAccessError;
  }
  return result;
}

}  // namespace tessaro::platform
