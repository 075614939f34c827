// The response cache: bodies of GET responses, stored once complete, into a few
// randomly named direct subfolders of "Content.IE5/" under the cache root, one file per
// response named after the URL's last segment with a "[n]" counter, as the browser keeps
// its cache. The cache never answers a request; a failure to write it never fails one.
#include <fcntl.h>
#include <glib/gstdio.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/linux/inet_internal.h"
#include "platform/sys.h"

namespace tessaro::inet::detail {
namespace {

constexpr std::size_t kSubfolders = 4;

std::string RandomName() {
  static constexpr char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  std::string name;
  for (int i = 0; i < 8; ++i) name += kChars[g_random_int_range(0, 36)];
  return name;
}

// The cache root and its subfolders as last seen; looked at again only when a file cannot
// be made there (someone cleared the cache meanwhile). Next counters per file name, so a
// name used thousands of times does not cost thousands of attempts.
struct Layout {
  std::mutex mutex;
  std::string root;
  std::vector<std::string> folders;
  std::map<std::string, unsigned> nextCounter;
};

Layout& TheLayout() {
  static auto* layout = new Layout;
  return *layout;
}

// Finds or makes the subfolders of the cache root. Called with the layout's mutex held.
bool ScanSubfolders(Layout& l) {
  l.root = platform::InternetCacheFolder() + "Content.IE5/";
  l.folders.clear();
  l.nextCounter.clear();
  if (g_mkdir_with_parents(l.root.c_str(), 0700) != 0) return false;
  if (GDir* dir = g_dir_open(l.root.c_str(), 0, nullptr)) {
    while (const gchar* name = g_dir_read_name(dir)) {
      std::string path = l.root + name;
      if (std::strlen(name) == 8 && g_file_test(path.c_str(), G_FILE_TEST_IS_DIR)) {
        l.folders.emplace_back(name);
      }
    }
    g_dir_close(dir);
  }
  while (l.folders.size() < kSubfolders) {
    std::string name = RandomName();
    if (g_mkdir((l.root + name).c_str(), 0700) == 0) {
      l.folders.push_back(name);
    } else if (errno != EEXIST) {
      return false;
    }
  }
  return true;
}

// The counter below the first free "[n]" of a file name, found in a few looks (a run of
// earlier processes may have used thousands): doubling, then halving the gap.
unsigned LastUsedCounter(const std::string& stem, const std::string& ext) {
  auto taken = [&](unsigned n) {
    return g_file_test((stem + "[" + std::to_string(n) + "]" + ext).c_str(), G_FILE_TEST_EXISTS);
  };
  if (!taken(1)) return 0;
  unsigned low = 1;
  unsigned high = 2;
  while (high < (1u << 30) && taken(high)) {
    low = high;
    high *= 2;
  }
  while (high - low > 1) {
    unsigned mid = low + (high - low) / 2;
    (taken(mid) ? low : high) = mid;
  }
  return low;
}

// The last path segment of the URL, reduced to bytes safe in a file name.
void FileNameParts(GUri* uri, std::string& base, std::string& ext) {
  std::string_view path = g_uri_get_path(uri);
  if (auto hash = path.find('#'); hash != std::string_view::npos) path = path.substr(0, hash);
  std::string_view last = path.substr(path.rfind('/') + 1);
  std::string name;
  for (char c : last.substr(0, 80)) {
    name += g_ascii_isalnum(c) || c == '.' || c == '-' || c == '_' ? c : '_';
  }
  while (!name.empty() && name.front() == '.') name.erase(0, 1);
  if (name.empty()) name = "index.html";
  auto dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) {
    base = name;
    ext.clear();
  } else {
    base = name.substr(0, dot);
    ext = name.substr(dot);
  }
}

bool Cacheable(SoupMessage* msg) {
  if (std::strcmp(soup_message_get_method(msg), "GET") != 0) return false;
  if (soup_message_get_status(msg) != SOUP_STATUS_OK) return false;
  const char* control =
      soup_message_headers_get_list(soup_message_get_response_headers(msg), "Cache-Control");
  return control == nullptr || std::strstr(control, "no-store") == nullptr;
}


// Creates a new cache file for the name, with the next free "[n]" counter, in one of the
// subfolders; -1 when none can be made.
int CreateCacheFile(const std::string& base, const std::string& ext, std::string& path) {
  Layout& l = TheLayout();
  std::lock_guard lock(l.mutex);
  for (int pass = 0; pass < 2; ++pass) {
    if ((l.folders.empty() || pass == 1) && !ScanSubfolders(l)) break;
    std::string dir = l.root +
                      l.folders[static_cast<std::size_t>(
                          g_random_int_range(0, static_cast<gint32>(kSubfolders)))] +
                      "/";
    auto known = l.nextCounter.find(dir + base + ext);
    if (known == l.nextCounter.end()) {
      known = l.nextCounter.emplace(dir + base + ext, LastUsedCounter(dir + base, ext)).first;
    }
    unsigned& next = known->second;
    for (int tries = 0; tries < 10000; ++tries) {
      path = dir + base + "[" + std::to_string(++next) + "]" + ext;
      int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
      if (fd >= 0) return fd;
      if (errno != EEXIST) break;  // the folder went away, or cannot be written
    }
  }
  Fail("cannot create a cache file under " + l.root + " for " + base + ext + ": " +
           g_strerror(errno),
       nullptr, Severity::kStorage);
  return -1;
}

bool WriteAll(int fd, const char* p, std::size_t length, const std::string& path) {
  while (length > 0) {
    ssize_t n = write(fd, p, length);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      Fail("cannot write the cache file " + path + ": " + g_strerror(errno), nullptr,
           Severity::kStorage);
      return false;
    }
    p += n;
    length -= static_cast<std::size_t>(n);
  }
  return true;
}

// Bodies up to this size wait in memory for the cache's thread.
constexpr std::size_t kBufferedBody = 1u << 20;

// The cache's thread: writes completed bodies, in order, off the requests' path. It is
// drained before the process exits.
class CacheWriter {
 public:
  static CacheWriter& Get() {
    static CacheWriter* writer = [] {
      auto* w = new CacheWriter;
      std::atexit([] { Get().Stop(); });
      return w;
    }();
    return *writer;
  }

  void Enqueue(std::string base, std::string ext, std::string body) {
    std::lock_guard lock(mutex_);
    if (stopped_) return;
    jobs_.push_back({std::move(base), std::move(ext), std::move(body)});
    if (!thread_.joinable()) thread_ = std::thread([this] { Run(); });
    wake_.notify_one();
  }

  void Flush() {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return jobs_.empty() && !busy_; });
  }

 private:
  struct Job {
    std::string base, ext, body;
  };

  void Stop() {
    std::unique_lock lock(mutex_);
    stopped_ = true;
    wake_.notify_one();
    lock.unlock();
    if (thread_.joinable()) thread_.join();
  }

  void Run() {
    std::unique_lock lock(mutex_);
    while (true) {
      wake_.wait(lock, [this] { return stopped_ || !jobs_.empty(); });
      if (jobs_.empty()) return;  // stopped, and everything written
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      busy_ = true;
      lock.unlock();
      std::string path;
      const int fd = CreateCacheFile(job.base, job.ext, path);
      if (fd >= 0) {
        const bool written = WriteAll(fd, job.body.data(), job.body.size(), path);
        if (close(fd) != 0 || !written) g_remove(path.c_str());
      }
      lock.lock();
      busy_ = false;
      if (jobs_.empty()) idle_.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_, idle_;
  std::deque<Job> jobs_;
  std::thread thread_;
  bool busy_ = false;
  bool stopped_ = false;
};

}  // namespace

CacheEntry* CacheEntry::Begin(SoupMessage* msg) {
  if (!Cacheable(msg)) return nullptr;
  std::string base;
  std::string ext;
  FileNameParts(soup_message_get_uri(msg), base, ext);
  return new CacheEntry(std::move(base), std::move(ext));
}

void CacheEntry::Write(const void* data, std::size_t length) {
  if (done_) return;
  const char* p = static_cast<const char*>(data);
  if (fd_ < 0 && body_.size() + length <= kBufferedBody) {
    body_.append(p, length);
    return;
  }
  if (fd_ < 0) {  // grown large: from here on it streams to its file
    fd_ = CreateCacheFile(base_, ext_, path_);
    if (fd_ < 0) {
      done_ = true;
      body_.clear();
      return;
    }
    std::string buffered = std::move(body_);
    body_.clear();
    WriteToFile(buffered.data(), buffered.size());
  }
  WriteToFile(p, length);
}

void CacheEntry::WriteToFile(const char* data, std::size_t length) {
  if (fd_ >= 0 && !WriteAll(fd_, data, length, path_)) Finish(false);
}

void CacheEntry::Finish(bool complete) {
  if (done_) return;
  done_ = true;
  if (fd_ >= 0) {
    const bool closed = close(fd_) == 0;
    fd_ = -1;
    // A body cut short is no copy of the response: it must not be mistaken for one.
    if (!complete || !closed) g_remove(path_.c_str());
    return;
  }
  if (complete) CacheWriter::Get().Enqueue(std::move(base_), std::move(ext_), std::move(body_));
}

CacheEntry::~CacheEntry() { Finish(false); }

void FlushCacheWrites() { CacheWriter::Get().Flush(); }

}  // namespace tessaro::inet::detail
