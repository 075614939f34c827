// Download with resume.
//
// One download can be in flight per process. StartDownload opens the partial file and the
// request on the caller's thread, then a worker thread reads the body into the partial file
// and sends the reports to the caller's routine. The shared state below is guarded by one
// mutex; blocking work (network reads, file writes, the routine) runs without holding it.
//
// Only the worker closes the partial file: StopDownload merely closes the session, which
// makes the worker's pending or next read fail, so no write can land in a file that another
// thread has closed (or in a file that reused its number).
#include "http/download.h"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/inet.h"
#include "values/services.h"

namespace tessaro::http {
namespace {

constexpr std::uint32_t kOpenUrlFlags =
    inet::kFlagReload | inet::kFlagNoCacheWrite | inet::kFlagPragmaNoCache;
constexpr std::int32_t kDefaultAttempts = 5;

// The open modes of OpenFileHandle used here: write, created and emptied; write, created
// and kept. Exclusive: no one else may read or write the partial file while it is open.
constexpr std::int32_t kModeWriteEmpty = 4;
constexpr std::int32_t kModeWriteKeep = 5;
constexpr std::int32_t kShareExclusive = 4;

struct RetiredWorker {
  std::thread thread;
  std::shared_ptr<std::atomic<bool>> finished;
};

// The module-level download state. Everything but lastPercent is guarded by mutex.
struct DownloadState {
  std::mutex mutex;
  bool busy = false;  // from a start passing its busy test until the download has ended
  inet::Handle session = 0;
  bool sessionOpen = false;  // closed once, by whoever gets there first
  TextValue target;
  bool stopRequested = false;
  bool shuttingDown = false;
  bool exitHandlerSet = false;
  std::thread worker;  // the latest worker; earlier ones wait in retired to be joined
  std::shared_ptr<std::atomic<bool>> workerFinished;
  std::vector<RetiredWorker> retired;
};

DownloadState& State() {
  // Never destroyed: the exit handler and late workers may still use it.
  static DownloadState* state = new DownloadState;
  return *state;
}

// The percentage after the previously written chunk, of this download or an earlier one.
std::atomic<std::int32_t> lastPercent{0};

void CloseSessionLocked(DownloadState& s) {
  if (s.sessionOpen) {
    s.sessionOpen = false;
    inet::InternetCloseHandle(s.session);
  }
}

// Joins the retired workers that have finished; a worker never joins itself.
void ReapLocked(DownloadState& s) {
  const auto self = std::this_thread::get_id();
  std::erase_if(s.retired, [&](RetiredWorker& w) {
    if (w.thread.get_id() == self || !w.finished->load()) return false;
    w.thread.join();
    return true;
  });
}

void ExitHandler() { ShutDownDownloads(); }

// ---- Sessions and the Content-Length ----

inet::Handle OpenSession() {
  std::uint32_t flags = 0;
  inet::InternetGetConnectedState(&flags, 0);
  const TextValue agent = ConcatText("Agent", ToText(UptimeMs()));
  const std::uint32_t access =
      BitAnd({static_cast<std::int32_t>(flags), static_cast<std::int32_t>(inet::kConnectionProxy)})
          ? inet::kOpenTypePreconfig
          : inet::kOpenTypePreconfigNoAutoproxy;
  return inet::InternetOpenA(agent.c_str(), access, nullptr, nullptr, 0);
}

struct AttemptResult {
  bool opened = false;      // false: a request could not be opened at all
  inet::Handle request = 0;  // the request whose query succeeded, else 0
  std::int32_t length = -1;
};

// Opens the URL until a response carries a Content-Length, at most `attempts` times.
// The request of a failed attempt is closed before the next one.
AttemptResult RunAttempts(inet::Handle session, const TextValue& url, const TextValue& headers,
                          std::int32_t attempts) {
  const std::int32_t limit = attempts >= 1 ? attempts : kDefaultAttempts;
  AttemptResult result;
  for (std::int32_t attempt = 1; attempt <= limit; ++attempt) {
    const inet::Handle request =
        inet::InternetOpenUrlA(session, url.c_str(), headers.c_str(),
                               static_cast<std::uint32_t>(TextLength(headers)), kOpenUrlFlags, 0);
    if (request == 0) {
      result.opened = false;
      result.length = -1;
      return result;
    }
    result.opened = true;
    std::uint32_t value = 0;
    std::uint32_t size = sizeof value;
    std::uint32_t index = 0;
    if (inet::HttpQueryInfoNumber(request, inet::kQueryContentLength | inet::kQueryFlagNumber,
                                  &value, &size, &index)) {
      if (value > static_cast<std::uint32_t>(std::numeric_limits<std::int32_t>::max())) {
        // Sizes pass as signed 32-bit numbers: a larger file is not handled, and its
        // length must not come back as a negative size.
        inet::InternetCloseHandle(request);
        result.length = -1;
        return result;
      }
      result.request = request;
      result.length = static_cast<std::int32_t>(value);
      return result;
    }
    result.length = -1;
    inet::InternetCloseHandle(request);
  }
  return result;
}

// ---- The response ----

std::int32_t StatusOf(inet::Handle request) {
  std::uint32_t value = 0;
  std::uint32_t size = sizeof value;
  std::uint32_t index = 0;
  if (!inet::HttpQueryInfoNumber(request, inet::kQueryStatusCode | inet::kQueryFlagNumber, &value,
                                 &size, &index))
    return 0;
  return static_cast<std::int32_t>(value);
}

std::string RawHeaders(inet::Handle request) {
  std::string buffer(4096, '\0');
  for (int tries = 0; tries < 4; ++tries) {
    std::uint32_t size = static_cast<std::uint32_t>(buffer.size());
    if (inet::HttpQueryInfoText(request, inet::kQueryRawHeadersCrlf, buffer.data(), &size, 0)) {
      buffer.resize(size);
      return buffer;
    }
    if (size <= buffer.size()) break;
    buffer.assign(size, '\0');
  }
  return {};
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

std::string_view Trim(std::string_view t) {
  while (!t.empty() && (t.front() == ' ' || t.front() == '\t')) t.remove_prefix(1);
  while (!t.empty() && (t.back() == ' ' || t.back() == '\t' || t.back() == '\r'))
    t.remove_suffix(1);
  return t;
}

std::optional<std::string> HeaderValue(const std::string& raw, std::string_view name) {
  std::string_view rest = raw;
  while (!rest.empty()) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    const std::size_t colon = line.find(':');
    if (colon != std::string_view::npos && EqualsNoCase(Trim(line.substr(0, colon)), name))
      return std::string(Trim(line.substr(colon + 1)));
  }
  return std::nullopt;
}

std::optional<std::int64_t> ParseCount(std::string_view t) {
  t = Trim(t);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (ec != std::errc() || end != t.data() + t.size() || t.empty() || value < 0)
    return std::nullopt;
  return value;
}

// Content-Range "bytes FIRST-LAST/TOTAL" or "bytes */TOTAL"; first is -1 for the latter,
// total -1 for "*".
struct ContentRange {
  std::int64_t first = -1;
  std::int64_t total = -1;
};

std::optional<ContentRange> ParseContentRange(std::string_view v) {
  v = Trim(v);
  if (v.size() < 6 || !EqualsNoCase(v.substr(0, 6), "bytes ")) return std::nullopt;
  v = Trim(v.substr(6));
  const std::size_t slash = v.find('/');
  if (slash == std::string_view::npos) return std::nullopt;
  const std::string_view range = Trim(v.substr(0, slash));
  const std::string_view total = Trim(v.substr(slash + 1));
  ContentRange result;
  if (total != "*") {
    auto t = ParseCount(total);
    if (!t) return std::nullopt;
    result.total = *t;
  }
  if (range != "*") {
    const std::size_t dash = range.find('-');
    if (dash == std::string_view::npos) return std::nullopt;
    auto first = ParseCount(range.substr(0, dash));
    auto last = ParseCount(range.substr(dash + 1));
    if (!first || !last || *last < *first) return std::nullopt;
    result.first = *first;
  }
  return result;
}

std::optional<ContentRange> ContentRangeOf(inet::Handle request) {
  const auto value = HeaderValue(RawHeaders(request), "Content-Range");
  if (!value) return std::nullopt;
  return ParseContentRange(*value);
}

// ---- The worker ----

struct Job {
  ProgressRoutine routine;
  inet::Handle request = 0;
  FileNumber file = 0;
  std::int64_t offset = 0;       // the bytes of the partial file when the request was made
  std::int32_t length = 0;       // the Content-Length of the response
  bool rangeSent = false;
  TextValue target;
  std::shared_ptr<std::atomic<bool>> finished;
};

std::int32_t TruncateToInt32(double v) {
  if (!(v == v)) return 0;
  v = std::trunc(v);
  if (v >= 2147483647.0) return std::numeric_limits<std::int32_t>::max();
  if (v <= -2147483648.0) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(v);
}

struct Report {
  std::int32_t total;
  std::int32_t done;
  std::int32_t percent;
  std::int32_t speed;
};

class Transfer {
 public:
  explicit Transfer(Job job)
      : job_(std::move(job)), partial_(ConcatText(job_.target, ".tmp")), startMs_(UptimeMs()) {}

  void Run() {
    // The total is this response's length plus the bytes already in the partial file.
    total_ = job_.length + job_.offset;
    switch (CheckResponse()) {
      case Check::kBroken:
        // The answer is not the file (or not its rest): its length says nothing of the
        // file's size, so no percentage is made of it.
        total_ = 0;
        return BreakOff();
      case Check::kAlreadyComplete:
        return Complete();
      case Check::kTransfer:
        break;
    }
    std::vector<char> buffer(static_cast<std::size_t>(kDownloadReadSize));
    for (;;) {
      if (StopRequested()) return BreakOff();
      std::uint32_t n = 0;
      if (!inet::InternetReadFile(job_.request, buffer.data(),
                                  static_cast<std::uint32_t>(buffer.size()), &n))
        return BreakOff();
      if (n == 0) {
        // A body that ends before its announced length is a broken connection.
        if (received_ < job_.length) return BreakOff();
        return Complete();
      }
      if (!WriteBytesToFile(job_.file, {std::string_view(buffer.data(), n)})) return BreakOff();
      received_ += n;
      const Report r = Current();
      if (lastPercent.exchange(r.percent) != r.percent && r.percent != 100) {
        if (!ShuttingDown() && job_.routine(r.total, r.done, r.percent, r.speed) == 0)
          return Cancel();
      }
      // No event pump here: GUI events run on the GUI thread only, never on the worker,
      // and asking which thread this is costs syscalls on every chunk.
    }
  }

 private:
  enum class Check { kTransfer, kAlreadyComplete, kBroken };

  // Decides from the status what the body is. Nothing of an unwanted body is written.
  Check CheckResponse() {
    const std::int32_t status = StatusOf(job_.request);
    if (status == 200) {
      // The whole file came, though maybe the rest was asked for: start the partial file
      // again from its first byte.
      if (job_.offset != 0) {
        CloseFileHandle(job_.file);
        job_.file = OpenFileHandle(partial_, kModeWriteEmpty, kShareExclusive);
        if (job_.file == 0) return Check::kBroken;
        job_.offset = 0;
        total_ = job_.length;
      }
      return Check::kTransfer;
    }
    if (status == 206) {
      const auto range = ContentRangeOf(job_.request);
      if (!range || range->first != job_.offset) return Check::kBroken;
      return Check::kTransfer;
    }
    if (status == 416 && job_.rangeSent) {
      // Nothing left to send: complete when the partial file already holds the whole file.
      const auto range = ContentRangeOf(job_.request);
      if (range && range->first == -1 && range->total == job_.offset) {
        total_ = job_.offset;
        return Check::kAlreadyComplete;
      }
    }
    return Check::kBroken;
  }

  Report Current() const {
    const std::int64_t done = received_ + job_.offset;
    const std::int32_t total = static_cast<std::int32_t>(total_);
    const std::int32_t percent =
        total == 0 ? 0
                   : TruncateToInt32(IntegerDivide(static_cast<double>(done) * 100.0, total));
    // The tick count may wrap during a download; the difference of the two stays right.
    const std::uint32_t elapsedMs =
        static_cast<std::uint32_t>(UptimeMs()) - static_cast<std::uint32_t>(startMs_);
    std::int32_t speed = 0;
    if (elapsedMs != 0) {
      const double seconds = static_cast<double>(elapsedMs) / 1000.0;
      speed = TruncateToInt32(RoundNumber(static_cast<double>(received_) / seconds / 1024.0, 0));
    }
    return {total, static_cast<std::int32_t>(done), percent, speed};
  }

  bool StopRequested() {
    DownloadState& s = State();
    std::lock_guard lock(s.mutex);
    return s.stopRequested;
  }

  bool ShuttingDown() {
    DownloadState& s = State();
    std::lock_guard lock(s.mutex);
    return s.shuttingDown;
  }

  // Closes the request, the session and the partial file.
  void CloseAll() {
    inet::InternetCloseHandle(job_.request);
    job_.request = 0;
    CloseFileHandle(job_.file);
    job_.file = 0;
    DownloadState& s = State();
    std::lock_guard lock(s.mutex);
    CloseSessionLocked(s);
  }

  void SetIdle() {
    DownloadState& s = State();
    std::lock_guard lock(s.mutex);
    s.busy = false;
    s.stopRequested = false;
  }

  // A failed read, write or check: report with total 0, the partial file stays for a
  // resume. The state stays busy until the report has returned.
  void BreakOff() {
    CloseAll();
    Report r = Current();
    r.total = 0;
    if (!ShuttingDown()) job_.routine(r.total, r.done, r.percent, r.speed);
    SetIdle();
  }

  void Cancel() {
    CloseAll();
    SetIdle();
  }

  // Puts the partial file in place, then reports 100 with the state idle again, so the
  // routine may start the next download.
  void Complete() {
    CloseAll();
    bool placed = std::rename(partial_.c_str(), job_.target.c_str()) == 0;
    if (!placed && CopyFileTo(partial_, job_.target)) {
      // The rename was refused (the target on another file system, for one): the copy is
      // in place, and a partial file left over is harmless.
      RemoveFile(partial_);
      placed = true;
    }
    if (!placed) return BreakOff();
    Report r = Current();
    r.percent = 100;
    SetIdle();
    if (!ShuttingDown()) job_.routine(r.total, r.done, r.percent, r.speed);
  }

  Job job_;
  TextValue partial_;
  std::int32_t startMs_;
  std::int64_t received_ = 0;
  std::int64_t total_ = 0;
};

void RunWorker(Job job) {
  auto finished = job.finished;
  {
    Transfer transfer(std::move(job));
    transfer.Run();
  }
  // The last thing the worker does: from here on it may be joined.
  finished->store(true);
}

// Undoes a start that did not get as far as the worker.
void AbandonStartLocked(DownloadState& s, FileNumber file, inet::Handle request) {
  if (request != 0) inet::InternetCloseHandle(request);
  if (file != 0) CloseFileHandle(file);
  CloseSessionLocked(s);
  s.busy = false;
  s.stopRequested = false;
}

void AbandonStart(FileNumber file) {
  DownloadState& s = State();
  std::lock_guard lock(s.mutex);
  AbandonStartLocked(s, file, 0);
}

TextValue LastSegment(const TextValue& url) {
  const std::int32_t slash = FindTextReverse(url, "/");
  if (slash == -1) return url;
  return TextMid(url, slash + 1, TextLength(url) - slash);
}

}  // namespace

TextValue DownloadTargetPath(const TextValue& url, const TextValue& savePath) {
  if (savePath.empty()) return ConcatText(RunDirectory(), "/", LastSegment(url));
  if (FindText(savePath, "/") == -1) return ConcatText(RunDirectory(), "/", savePath);
  if (TextRight(savePath, 1) == "/") return ConcatText(savePath, LastSegment(url));
  return savePath;
}

TextValue DownloadHeaderBlock(bool withRange, std::int32_t offset) {
  // identity: the saved bytes, their offsets and the lengths must be those of the file
  // itself, never of a compressed form of it.
  TextValue block =
      "Accept: */*\r\n"
      "Accept-Language: zh-cn\r\n"
      "Accept-Encoding: identity\r\n"
      "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)";
  if (withRange) block = ConcatText(block, "\r\nRange:bytes=", ToText(offset), "-");
  return block;
}

TextValue LastDownloadTarget() {
  DownloadState& s = State();
  std::lock_guard lock(s.mutex);
  return s.target;
}

bool DownloadInFlight() {
  DownloadState& s = State();
  std::lock_guard lock(s.mutex);
  return s.busy;
}

bool IsOnline(HTTP类& /*self*/) {
  std::uint32_t flags = 0;
  return inet::InternetGetConnectedState(&flags, 0) == 1;
}

std::int32_t GetRemoteFileSize(HTTP类& /*self*/, const TextValue& url, std::int32_t attempts) {
  const inet::Handle session = OpenSession();
  if (session == 0) return -1;
  AttemptResult result = RunAttempts(session, url, DownloadHeaderBlock(false, 0), attempts);
  if (result.request != 0) {
    // An error page has a length too, but it is not the size of the file asked for.
    if (StatusOf(result.request) >= 400) result.length = -1;
    inet::InternetCloseHandle(result.request);
  }
  inet::InternetCloseHandle(session);
  return result.opened ? result.length : -1;
}

bool StartDownload(HTTP类& /*self*/, ProgressRoutine routine, const TextValue& url,
                   const TextValue& savePath, std::int32_t attempts, bool resume) {
  DownloadState& s = State();
  {
    std::lock_guard lock(s.mutex);
    if (s.busy || s.shuttingDown) return false;
    s.busy = true;
    s.stopRequested = false;
    ReapLocked(s);
  }

  const inet::Handle session = OpenSession();
  const TextValue target = DownloadTargetPath(url, savePath);
  {
    std::lock_guard lock(s.mutex);
    if (session == 0) {
      s.busy = false;
      return false;
    }
    s.session = session;
    s.sessionOpen = true;
    s.target = target;
    // At exit, stop a download still in flight and wait for its worker. Registered after
    // the first session so that it runs before the network layer's own clean-up.
    if (!s.exitHandlerSet) {
      s.exitHandlerSet = true;
      std::atexit(ExitHandler);
    }
  }

  const TextValue partial = ConcatText(target, ".tmp");
  TextValue headers = DownloadHeaderBlock(false, 0);
  std::int32_t offset = 0;
  FileNumber file = 0;
  if (resume) {
    file = OpenFileHandle(partial, kModeWriteKeep, kShareExclusive);
    if (file != 0) {
      offset = FileLength(file);
      headers = DownloadHeaderBlock(true, offset);
      SeekToEnd(file);
    }
  } else {
    file = OpenFileHandle(partial, kModeWriteEmpty, kShareExclusive);
  }
  if (file == 0 || offset < 0) {
    AbandonStart(file);
    return false;
  }

  const AttemptResult result = RunAttempts(session, url, headers, attempts);
  if (!result.opened || result.length == -1) {
    AbandonStart(file);
    return false;
  }

  std::lock_guard lock(s.mutex);
  if (s.stopRequested) {
    // Stopped while starting.
    AbandonStartLocked(s, file, result.request);
    return false;
  }
  Job job;
  job.routine = std::move(routine);
  job.request = result.request;
  job.file = file;
  job.offset = offset;
  job.length = result.length;
  job.rangeSent = resume;
  job.target = target;
  job.finished = std::make_shared<std::atomic<bool>>(false);
  auto finished = job.finished;
  std::thread worker;
  try {
    worker = std::thread(RunWorker, std::move(job));
  } catch (const std::system_error&) {
    AbandonStartLocked(s, file, result.request);
    return false;
  }
  if (s.worker.joinable()) s.retired.push_back({std::move(s.worker), s.workerFinished});
  s.worker = std::move(worker);
  s.workerFinished = std::move(finished);
  return true;
}

void StopDownload(HTTP类& /*self*/) {
  DownloadState& s = State();
  std::lock_guard lock(s.mutex);
  if (!s.busy) return;
  s.stopRequested = true;
  CloseSessionLocked(s);
}

void ShutDownDownloads() {
  DownloadState& s = State();
  std::vector<std::thread> threads;
  {
    std::lock_guard lock(s.mutex);
    s.shuttingDown = true;
    if (s.busy) {
      s.stopRequested = true;
      CloseSessionLocked(s);
    }
    if (s.worker.joinable()) threads.push_back(std::move(s.worker));
    for (RetiredWorker& w : s.retired) threads.push_back(std::move(w.thread));
    s.retired.clear();
  }
  const auto self = std::this_thread::get_id();
  for (std::thread& t : threads) {
    if (t.get_id() == self)
      t.detach();
    else
      t.join();
  }
}

}  // namespace tessaro::http
