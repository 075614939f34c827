// The download methods against the event-server's /download/ routes and against nginx.
//
// File contents follow from a seed (event-server/download_content.h), so every check of a
// saved file compares its SHA-256 with the one computed from the seed.
#include <gio/gio.h>
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "event-server/download_content.h"
#include "http/download.h"
#include "http/http_class.h"
#include "support/event_server_env.h"
#include "support/peers.h"
#include "support/process.h"
#include "values/services.h"

namespace tessaro {
namespace {

using namespace std::chrono_literals;
using testing::SharedEventServer;

constexpr auto kDeadline = 120s;  // generous: the suite also runs under ThreadSanitizer

// ---- Contents and files ----

std::string Content(std::uint64_t seed, std::int64_t from, std::int64_t to) {
  std::string s(static_cast<std::size_t>(to - from), '\0');
  event_server::FillContent(seed, static_cast<std::uint64_t>(from),
                            reinterpret_cast<unsigned char*>(s.data()), s.size());
  return s;
}

std::string Sha256OfContent(std::uint64_t seed, std::int64_t size) {
  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  constexpr std::int64_t kBlock = 1 << 20;
  std::vector<unsigned char> block(kBlock);
  for (std::int64_t at = 0; at < size; at += kBlock) {
    const std::int64_t n = std::min(kBlock, size - at);
    event_server::FillContent(seed, static_cast<std::uint64_t>(at), block.data(),
                              static_cast<std::size_t>(n));
    g_checksum_update(sum, block.data(), n);
  }
  std::string hex = g_checksum_get_string(sum);
  g_checksum_free(sum);
  return hex;
}

std::string Sha256OfFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "missing";
  GChecksum* sum = g_checksum_new(G_CHECKSUM_SHA256);
  std::vector<char> block(1 << 20);
  while (in) {
    in.read(block.data(), static_cast<std::streamsize>(block.size()));
    g_checksum_update(sum, reinterpret_cast<const guchar*>(block.data()), in.gcount());
  }
  std::string hex = g_checksum_get_string(sum);
  g_checksum_free(sum);
  return hex;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

std::int64_t SizeOf(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::int64_t>(st.st_size) : -1;
}

void WriteFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string ExeDirectory() {
  return std::filesystem::canonical("/proc/self/exe").parent_path().string();
}

// ---- Reports ----

struct Report {
  std::int32_t total, done, percent, speed;
  bool targetExisted;   // when the report came
  bool partialExisted;
  bool inFlight;        // DownloadInFlight() inside the routine
};

// Collects the reports of one download. The routine runs on the worker thread; onReport,
// when set, decides its result (nonzero: go on).
class Reports {
 public:
  explicit Reports(std::string target) : log_(std::make_shared<Log>()) {
    log_->target = std::move(target);
  }

  void OnReport(std::function<std::int32_t(const Report&)> f) { log_->onReport = std::move(f); }

  ProgressRoutine Routine() {
    auto log = log_;
    return [log](std::int32_t total, std::int32_t done, std::int32_t percent,
                 std::int32_t speed) -> std::int32_t {
      const Report r{total,
                     done,
                     percent,
                     speed,
                     Exists(log->target),
                     Exists(log->target + ".tmp"),
                     http::DownloadInFlight()};
      std::int32_t result = log->onReport ? log->onReport(r) : 1;
      std::lock_guard lock(log->mutex);
      log->entries.push_back(r);
      log->changed.notify_all();
      return result;
    };
  }

  // Waits for the report that ends a download: a total of 0 (broken off) or 100 %.
  std::optional<Report> WaitEnd() {
    std::unique_lock lock(log_->mutex);
    auto ended = [&] {
      for (const Report& r : log_->entries)
        if (r.total == 0 || r.percent == 100) return true;
      return false;
    };
    if (!log_->changed.wait_for(lock, kDeadline, ended)) return std::nullopt;
    return log_->entries.back();
  }

  // Waits for a report that satisfies pred.
  bool WaitFor(const std::function<bool(const Report&)>& pred) {
    std::unique_lock lock(log_->mutex);
    return log_->changed.wait_for(lock, kDeadline, [&] {
      for (const Report& r : log_->entries)
        if (pred(r)) return true;
      return false;
    });
  }

  std::vector<Report> All() const {
    std::lock_guard lock(log_->mutex);
    return log_->entries;
  }

 private:
  struct Log {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Report> entries;
    std::string target;
    std::function<std::int32_t(const Report&)> onReport;
  };
  std::shared_ptr<Log> log_;
};

// Pumps until no download is in flight (the worker has reached one of its ends).
bool WaitIdle() {
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (http::DownloadInFlight()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(2ms);
  }
  return true;
}

std::int64_t RequestCount(const std::string& key) {
  auto r = testing::Fetch(SharedEventServer().Url("/download/count?key=" + key));
  return r.status == 200 ? std::stoll(r.body) : -1;
}

// The header lines of the event-server's record entry for the request carrying key.
std::vector<std::string> HeadersSent(const std::string& key) {
  for (const auto& e : SharedEventServer().Record("download"))
    if (e.target.find("key=" + key) != std::string::npos) return e.headers;
  return {};
}

std::optional<std::string> HeaderSent(const std::vector<std::string>& lines,
                                      std::string_view name) {
  for (const std::string& l : lines) {
    const auto colon = l.find(':');
    if (colon == std::string::npos) continue;
    if (g_ascii_strncasecmp(l.c_str(), std::string(name).c_str(), name.size()) == 0 &&
        colon == name.size()) {
      std::string v = l.substr(colon + 1);
      while (!v.empty() && v.front() == ' ') v.erase(0, 1);
      return v;
    }
  }
  return std::nullopt;
}

class DownloadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SharedEventServer().Running()) << SharedEventServer().Error();
    dir_ = testing::MakeTempDir("download-test");
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override {
    http_.StopDownload();
    EXPECT_TRUE(WaitIdle());
    testing::RemoveTree(dir_);
  }

  std::string Path(const std::string& name) const { return dir_ + "/" + name; }

  static std::string FileUrl(std::int64_t size, std::uint64_t seed, const std::string& extra = {}) {
    return SharedEventServer().Url("/download/file?size=" + std::to_string(size) +
                                   "&seed=" + std::to_string(seed) +
                                   (extra.empty() ? "" : "&" + extra));
  }

  static std::string Key() {
    static std::atomic<int> n{0};
    return "k" + std::to_string(::getpid()) + "x" + std::to_string(++n);
  }

  // Runs one download to its end report.
  std::optional<Report> Download(const std::string& url, const std::string& target,
                                 bool resume, Reports* reports = nullptr) {
    Reports own(target);
    Reports& r = reports ? *reports : own;
    if (!http_.StartDownload(r.Routine(), url, target, 0, resume)) return std::nullopt;
    auto end = r.WaitEnd();
    EXPECT_TRUE(WaitIdle());
    return end;
  }

  HTTP类 http_;
  std::string dir_;
};

// ---- Paths and headers ----

TEST(DownloadPaths, TargetPathRules) {
  const std::string run = ExeDirectory();
  ASSERT_EQ(RunDirectory(), run);
  struct Case {
    const char* url;
    const char* savePath;
    std::string want;
  } cases[] = {
      {"http://h.example/pub/file.zip", "", run + "/file.zip"},
      {"http://h.example/pub/file.zip", "name.bin", run + "/name.bin"},
      {"http://h.example/pub/file.zip", "/tmp/some/dir/", "/tmp/some/dir/file.zip"},
      {"http://h.example/pub/file.zip", "/tmp", "/tmp"},  // a folder, used as it is
      {"http://h.example/pub/file.zip", "rel/name", "rel/name"},
      {"file.zip", "", run + "/file.zip"},  // no "/": the whole URL
      {"http://h.example/pub/file.zip?x=1", "", run + "/file.zip?x=1"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(http::DownloadTargetPath(c.url, c.savePath), c.want) << c.url << " " << c.savePath;
}

TEST(DownloadPaths, HeaderBlock) {
  const std::string plain =
      "Accept: */*\r\nAccept-Language: zh-cn\r\nAccept-Encoding: identity\r\n"
      "User-Agent: Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)";
  EXPECT_EQ(http::DownloadHeaderBlock(false, 0), plain);
  EXPECT_EQ(http::DownloadHeaderBlock(true, 0), plain + "\r\nRange:bytes=0-");
  EXPECT_EQ(http::DownloadHeaderBlock(true, 1000), plain + "\r\nRange:bytes=1000-");
}

TEST_F(DownloadTest, EmptySavePathLandsInTheRunDirectory) {
  const std::string name = "dl-" + Key() + ".zip";
  const std::string url = SharedEventServer().Url("/download/file/pub/" + name);
  const std::string target = ExeDirectory() + "/" + name;
  Reports reports(target);
  ASSERT_TRUE(http_.StartDownload(reports.Routine(), url));
  EXPECT_EQ(http::LastDownloadTarget(), target);
  auto end = reports.WaitEnd();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->percent, 100);
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(1, 1024));
  EXPECT_FALSE(Exists(target + ".tmp"));
  std::remove(target.c_str());
}

TEST_F(DownloadTest, HeadersOnTheWireAndAResumedTotal) {
  // Fresh: no range line.
  const std::string fresh = Key();
  ASSERT_TRUE(Download(FileUrl(1500, 5, "key=" + fresh), Path("a.bin"), false));
  auto lines = HeadersSent(fresh);
  EXPECT_EQ(HeaderSent(lines, "Accept"), "*/*");
  EXPECT_EQ(HeaderSent(lines, "Accept-Language"), "zh-cn");
  EXPECT_EQ(HeaderSent(lines, "Accept-Encoding"), "identity");
  EXPECT_EQ(HeaderSent(lines, "User-Agent"),
            "Mozilla/4.0(compatible; MSIE 6.0; Windows NT 5.0; MyIE2; .NET CLR 1.1.4322)");
  EXPECT_FALSE(HeaderSent(lines, "Range"));

  // Resume of 1000 bytes, 500 announced: total 1500 in every report.
  const std::string resumed = Key();
  WriteFile(Path("b.bin.tmp"), Content(5, 0, 1000));
  Reports reports(Path("b.bin"));
  auto end = Download(FileUrl(1500, 5, "key=" + resumed), Path("b.bin"), true, &reports);
  ASSERT_TRUE(end);
  EXPECT_EQ(HeaderSent(HeadersSent(resumed), "Range"), "bytes=1000-");
  for (const Report& r : reports.All()) EXPECT_EQ(r.total, 1500);
  EXPECT_EQ(end->done, 1500);
  EXPECT_EQ(end->percent, 100);
  EXPECT_EQ(Sha256OfFile(Path("b.bin")), Sha256OfContent(5, 1500));

  // Resume without a partial file: an empty one, and "bytes=0-".
  const std::string empty = Key();
  ASSERT_TRUE(Download(FileUrl(700, 6, "key=" + empty), Path("c.bin"), true));
  EXPECT_EQ(HeaderSent(HeadersSent(empty), "Range"), "bytes=0-");
  EXPECT_EQ(Sha256OfFile(Path("c.bin")), Sha256OfContent(6, 700));
}

// ---- The reports of whole downloads ----

TEST_F(DownloadTest, WholeDownloadReportSequence) {
  // Leave lastPercent at 0, as at process start: a download broken off in its first percent.
  auto setup = Download(FileUrl(1000000, 3, "dropat=100"), Path("setup.bin"), false);
  ASSERT_TRUE(setup);
  ASSERT_EQ(setup->total, 0);

  constexpr std::int32_t kSize = 3000000;
  Reports reports(Path("whole.bin"));
  auto end = Download(FileUrl(kSize, 7), Path("whole.bin"), false, &reports);
  ASSERT_TRUE(end);
  const auto all = reports.All();
  ASSERT_GE(all.size(), 2u);
  std::int32_t previous = 0;
  for (std::size_t i = 0; i + 1 < all.size(); ++i) {
    const Report& r = all[i];
    EXPECT_EQ(r.total, kSize);
    EXPECT_GT(r.percent, previous) << "no repeated or 0 % report";
    EXPECT_LT(r.percent, 100) << "no 100 % progress report";
    EXPECT_EQ(r.percent, static_cast<std::int32_t>(std::int64_t{r.done} * 100 / kSize));
    EXPECT_GE(r.speed, 0);
    EXPECT_TRUE(r.partialExisted);
    EXPECT_TRUE(r.inFlight);
    previous = r.percent;
  }
  EXPECT_LE(all.size(), 100u);
  const Report& last = all.back();
  EXPECT_EQ(last.total, kSize);
  EXPECT_EQ(last.done, kSize);
  EXPECT_EQ(last.percent, 100);
  EXPECT_TRUE(last.targetExisted) << "the target is in place before the final report";
  EXPECT_FALSE(last.partialExisted);
  EXPECT_FALSE(last.inFlight) << "idle again when the final report comes";
  EXPECT_EQ(Sha256OfFile(Path("whole.bin")), Sha256OfContent(7, kSize));
}

TEST_F(DownloadTest, ASecondDownloadSkipsThePercentageTheFirstEndedOn) {
  constexpr std::int32_t kSize = 10000000;
  auto first = Download(FileUrl(kSize, 8, "dropat=5050000"), Path("two.bin"), false);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->total, 0);
  EXPECT_EQ(first->done, 5050000);
  EXPECT_EQ(first->percent, 50);
  ASSERT_EQ(SizeOf(Path("two.bin.tmp")), 5050000);

  Reports reports(Path("two.bin"));
  auto end = Download(FileUrl(kSize, 8), Path("two.bin"), true, &reports);
  ASSERT_TRUE(end);
  const auto all = reports.All();
  ASSERT_GE(all.size(), 2u);
  EXPECT_GT(all.front().done, 5050000);
  EXPECT_EQ(all.front().percent, 51) << "the chunk still at 50 % sends no report";
  for (const Report& r : all) EXPECT_EQ(r.total, kSize);
  EXPECT_EQ(end->done, kSize);
  EXPECT_EQ(Sha256OfFile(Path("two.bin")), Sha256OfContent(8, kSize));
}

TEST_F(DownloadTest, AttemptsAgainstAServerWithoutContentLength) {
  struct Case {
    std::int32_t attempts;
    std::int64_t requests;
  } cases[] = {{0, 5}, {-3, 5}, {1, 1}, {3, 3}};
  for (const Case& c : cases) {
    const std::string key = Key();
    Reports reports(Path("nolen.bin"));
    EXPECT_FALSE(http_.StartDownload(reports.Routine(), FileUrl(5000, 9, "cl=0&key=" + key),
                                     Path("nolen.bin"), c.attempts, false));
    EXPECT_EQ(RequestCount(key), c.requests) << "attempts " << c.attempts;
    EXPECT_FALSE(http::DownloadInFlight());
    EXPECT_TRUE(reports.All().empty());

    const std::string sizeKey = Key();
    EXPECT_EQ(http_.GetRemoteFileSize(FileUrl(5000, 9, "cl=0&key=" + sizeKey), c.attempts), -1);
    EXPECT_EQ(RequestCount(sizeKey), c.requests) << "attempts " << c.attempts;
  }
  // With a Content-Length the first attempt is the last.
  const std::string key = Key();
  EXPECT_EQ(http_.GetRemoteFileSize(FileUrl(5000, 9, "key=" + key), 3), 5000);
  EXPECT_EQ(RequestCount(key), 1);
  // An error page is not the file: no size.
  EXPECT_EQ(http_.GetRemoteFileSize(FileUrl(5000, 9, "status=404"), 1), -1);
  // A URL that cannot be opened ends at once.
  EXPECT_EQ(http_.GetRemoteFileSize("http://127.0.0.1:1/none", 3), -1);
}

TEST_F(DownloadTest, AFileOf2GiBOrMoreHasNoSize) {
  // Sizes pass as signed 32-bit numbers: 3 GiB must not come back as a negative size, and
  // must not start a download with a negative total.
  const std::string url = FileUrl(std::int64_t{3} << 30, 16);
  EXPECT_EQ(http_.GetRemoteFileSize(url, 1), -1);
  Reports reports(Path("huge.bin"));
  EXPECT_FALSE(http_.StartDownload(reports.Routine(), url, Path("huge.bin"), 1, false));
  EXPECT_FALSE(http::DownloadInFlight());
  EXPECT_TRUE(reports.All().empty());
  // The largest size that fits is still a size.
  EXPECT_EQ(http_.GetRemoteFileSize(FileUrl(2147483647, 16), 1), 2147483647);
}

TEST_F(DownloadTest, SpeedIsKilobytesPerSecondOfThisDownloadsBytes) {
  // A resume of 4000000 bytes that then receives 458752 bytes and waits: the speed counts the
  // received bytes only, per second of the worker's time, in units of 1024 bytes.
  constexpr std::int64_t kOffset = 4000000;
  constexpr std::int64_t kReceived = 7 * 65536;
  const std::string target = Path("speed.bin");
  WriteFile(target + ".tmp", Content(17, 0, kOffset));
  Reports reports(target);
  using Clock = std::chrono::steady_clock;
  const auto t0 = Clock::now();
  ASSERT_TRUE(http_.StartDownload(
      reports.Routine(),
      FileUrl(8000000, 17, "stallat=" + std::to_string(kOffset + kReceived)), target, 0, true));
  ASSERT_TRUE(reports.WaitFor([&](const Report& r) { return r.done == kOffset + kReceived; }));
  const auto arrived = Clock::now();  // the worker started before this
  std::this_thread::sleep_for(1s);
  const auto stop = Clock::now();  // the broken-off report is made after this
  http_.StopDownload();
  auto end = reports.WaitEnd();
  const auto t1 = Clock::now();
  ASSERT_TRUE(end);
  ASSERT_EQ(end->total, 0);
  ASSERT_EQ(end->done, kOffset + kReceived);
  auto seconds = [](Clock::duration d) { return std::chrono::duration<double>(d).count(); };
  // The worker's clock counts whole milliseconds.
  const double longest = seconds(t1 - t0) + 0.002;
  const double shortest = seconds(stop - arrived) - 0.002;
  EXPECT_GE(end->speed, std::floor(kReceived / longest / 1024.0)) << "within " << longest << " s";
  EXPECT_LE(end->speed, std::ceil(kReceived / shortest / 1024.0)) << "within " << shortest << " s";
}

// ---- Busy, stop, cancel ----

TEST_F(DownloadTest, BusyThenStopWhileWaitingForDataThenResume) {
  constexpr std::int32_t kSize = 1000000;
  const std::string target = Path("stall.bin");
  Reports reports(target);
  std::atomic<int> startsInsideBrokenReport{-1};
  HTTP类 inner;
  reports.OnReport([&](const Report& r) {
    if (r.total == 0)
      startsInsideBrokenReport =
          inner.StartDownload([](auto...) { return 1; }, FileUrl(10, 1), Path("inner.bin"));
    return 1;
  });
  ASSERT_TRUE(http_.StartDownload(reports.Routine(), FileUrl(kSize, 11, "stallat=500000"), target));
  // Whole reads up to 500000 bytes arrive, then the worker waits for data that never comes.
  constexpr std::int32_t kArrived = 500000 / http::kDownloadReadSize * http::kDownloadReadSize;
  ASSERT_TRUE(reports.WaitFor([&](const Report& r) { return r.done >= kArrived; }));

  Reports other(Path("other.bin"));
  EXPECT_FALSE(http_.StartDownload(other.Routine(), FileUrl(10, 1), Path("other.bin")));
  EXPECT_EQ(http::LastDownloadTarget(), target);
  EXPECT_TRUE(http::DownloadInFlight());

  http_.StopDownload();
  auto end = reports.WaitEnd();
  ASSERT_TRUE(end);
  EXPECT_EQ(end->total, 0);
  EXPECT_EQ(end->done, kArrived);
  EXPECT_EQ(end->percent, kArrived * std::int64_t{100} / kSize);
  EXPECT_TRUE(end->inFlight) << "still busy inside the broken-off report";
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(startsInsideBrokenReport.load(), 0);
  const auto all = reports.All();
  ASSERT_GE(all.size(), 2u);
  EXPECT_NE(all[all.size() - 2].total, 0) << "one broken-off report, after the progress reports";
  EXPECT_TRUE(other.All().empty());
  EXPECT_EQ(SizeOf(target + ".tmp"), kArrived);
  EXPECT_FALSE(Exists(Path("inner.bin")));

  auto resumed = Download(FileUrl(kSize, 11), target, true);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->done, kSize);
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(11, kSize));
}

TEST_F(DownloadTest, StopWhenIdleChangesNothing) {
  http_.StopDownload();
  http_.StopDownload();
  EXPECT_FALSE(http::DownloadInFlight());
  auto end = Download(FileUrl(200000, 12), Path("idle.bin"), false);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->percent, 100) << "an earlier stop must not break the next download";
  EXPECT_EQ(Sha256OfFile(Path("idle.bin")), Sha256OfContent(12, 200000));
}

TEST_F(DownloadTest, CancelFromTheRoutine) {
  constexpr std::int32_t kSize = 2000000;
  const std::string target = Path("cancel.bin");
  Reports reports(target);
  reports.OnReport([](const Report&) { return 0; });
  ASSERT_TRUE(http_.StartDownload(reports.Routine(), FileUrl(kSize, 13), target));
  ASSERT_TRUE(reports.WaitFor([](const Report&) { return true; }));
  ASSERT_TRUE(WaitIdle());
  const auto all = reports.All();
  ASSERT_EQ(all.size(), 1u) << "a cancelled download sends no further report";
  EXPECT_GT(all[0].done, 0);
  EXPECT_LT(all[0].percent, 100);
  EXPECT_FALSE(Exists(target));
  EXPECT_EQ(SizeOf(target + ".tmp"), all[0].done);

  auto resumed = Download(FileUrl(kSize, 13), target, true);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(13, kSize));
}

TEST_F(DownloadTest, TheNextDownloadStartsFromTheFinalReport) {
  Reports second(Path("second.bin"));
  Reports first(Path("first.bin"));
  std::atomic<int> started{-1};
  HTTP类 inner;
  first.OnReport([&](const Report& r) {
    if (r.percent == 100)
      started = inner.StartDownload(second.Routine(), FileUrl(300000, 15), Path("second.bin"));
    return 1;
  });
  ASSERT_TRUE(http_.StartDownload(first.Routine(), FileUrl(300000, 14), Path("first.bin")));
  ASSERT_TRUE(first.WaitEnd());
  auto end = second.WaitEnd();
  ASSERT_TRUE(end);
  EXPECT_EQ(started.load(), 1);
  EXPECT_EQ(end->percent, 100);
  ASSERT_TRUE(WaitIdle());
  EXPECT_EQ(Sha256OfFile(Path("first.bin")), Sha256OfContent(14, 300000));
  EXPECT_EQ(Sha256OfFile(Path("second.bin")), Sha256OfContent(15, 300000));
}

// ---- Answers that must not corrupt the partial file ----

TEST_F(DownloadTest, ResponsesToAResume) {
  constexpr std::int64_t kSize = 5000;
  const std::string whole = Content(21, 0, kSize);
  const std::string head = whole.substr(0, 1000);
  const std::string junk(1000, 'x');
  struct Case {
    const char* name;
    std::string partial;  // the partial file before the start
    bool resume;
    std::string url;
    bool final;
    std::int32_t total, done, percent;  // of the end report
  } cases[] = {
      // Range ignored: the whole file again, from byte 0, with its own total.
      {"200 to a range", junk, true, FileUrl(kSize, 21, "ranges=0"), true, kSize, kSize, 100},
      // Nothing left to fetch: the partial file is the file.
      {"416, partial whole", whole, true, FileUrl(kSize, 21), true, kSize, kSize, 100},
      {"416, partial too long", whole + "zz", true, FileUrl(kSize, 21), false, 0,
       kSize + 2, 0},
      {"206 from the wrong offset", head, true, FileUrl(kSize, 21, "shift=10"), false, 0, 1000,
       0},
      {"500 to a resume", head, true, FileUrl(kSize, 21, "status=500"), false, 0, 1000, 0},
      {"404 to a fresh start", "", false, FileUrl(kSize, 21, "status=404"), false, 0, 0, 0},
      // A response that announces 0 bytes and fails: percent 0, not a division by zero.
      {"500 with an empty body", "", false, SharedEventServer().Url("/test/status?code=500"),
       false, 0, 0, 0},
      // The client asks for no content coding: the file's own bytes arrive.
      {"gzip offered", "", false, FileUrl(kSize, 21, "gzip=1"), true, kSize, kSize, 100},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string target = Path("resp" + std::to_string(++n) + ".bin");
    if (!c.partial.empty()) WriteFile(target + ".tmp", c.partial);
    auto end = Download(c.url, target, c.resume);
    ASSERT_TRUE(end);
    EXPECT_EQ(end->total, c.total);
    EXPECT_EQ(end->done, c.done);
    EXPECT_EQ(end->percent, c.percent);
    if (c.final) {
      EXPECT_EQ(testing::ReadFileText(target), whole);
      EXPECT_FALSE(Exists(target + ".tmp"));
    } else {
      EXPECT_FALSE(Exists(target));
      EXPECT_EQ(testing::ReadFileText(target + ".tmp"), c.partial)
          << "nothing of the answer lands in the partial file";
    }
  }
}

TEST_F(DownloadTest, AShortBodyIsBrokenOffAndResumes) {
  constexpr std::int32_t kSize = 100000;
  const std::string target = Path("short.bin");
  auto end = Download(FileUrl(kSize, 22, "dropat=30000"), target, false);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->total, 0);
  EXPECT_EQ(end->done, 30000);
  EXPECT_EQ(end->percent, 30);
  EXPECT_FALSE(Exists(target));
  EXPECT_EQ(testing::ReadFileText(target + ".tmp"), Content(22, 0, 30000));
  auto resumed = Download(FileUrl(kSize, 22), target, true);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(resumed->percent, 100);
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(22, kSize));
}

TEST_F(DownloadTest, AFailedWriteBreaksOffAndKeepsWhatWasWritten) {
  constexpr std::int32_t kSize = 1000000;
  const std::string target = Path("limit.bin");
  // Files may not grow past 200000 bytes for a while: the write that crosses it fails.
  struct rlimit old {};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  struct rlimit limited = old;
  limited.rlim_cur = 200000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limited), 0);
  auto end = Download(FileUrl(kSize, 23), target, false);
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, oldHandler);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->total, 0);
  EXPECT_LE(end->done, 200000);
  EXPECT_FALSE(Exists(target));
  const std::string kept = testing::ReadFileText(target + ".tmp");
  EXPECT_LE(kept.size(), 200000u);
  EXPECT_GE(kept.size(), static_cast<std::size_t>(end->done));
  EXPECT_EQ(kept, Content(23, 0, static_cast<std::int64_t>(kept.size())));

  auto resumed = Download(FileUrl(kSize, 23), target, true);
  ASSERT_TRUE(resumed);
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(23, kSize));
}

TEST_F(DownloadTest, ATargetThatCannotBeReplacedKeepsThePartialFile) {
  constexpr std::int32_t kSize = 50000;
  const std::string target = Path("folder");
  ASSERT_EQ(::mkdir(target.c_str(), 0755), 0);
  auto end = Download(FileUrl(kSize, 24), target, false);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->total, 0) << "broken off, not final";
  EXPECT_EQ(end->done, kSize);
  EXPECT_EQ(Sha256OfFile(target + ".tmp"), Sha256OfContent(24, kSize));
}

TEST_F(DownloadTest, TheCompletedFileIsRenamedOverTheTarget) {
  constexpr std::int32_t kSize = 3000000;
  const std::string target = Path("renamed.bin");
  WriteFile(target, "an older file");
  Reports reports(target);
  std::atomic<ino_t> partialInode{0};
  reports.OnReport([&](const Report& r) {
    struct stat st {};
    if (r.percent != 100 && ::stat((target + ".tmp").c_str(), &st) == 0) partialInode = st.st_ino;
    return 1;
  });
  ASSERT_TRUE(Download(FileUrl(kSize, 25), target, false, &reports));
  struct stat st {};
  ASSERT_EQ(::stat(target.c_str(), &st), 0);
  EXPECT_EQ(st.st_ino, partialInode.load()) << "renamed, not copied";
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(25, kSize));
}

// ---- Faults: connections dropped at random offsets ----

TEST_F(DownloadTest, DroppedConnectionsResumeToIdenticalFiles) {
  constexpr std::int64_t kSize = 20 * 1024 * 1024;
  const int rounds = [] {
    const char* env = std::getenv("TESSARO_FAULT_ROUNDS");
    return env ? std::max(1, std::atoi(env)) : 100;
  }();
  const std::uint64_t rngSeed = std::random_device{}();
  std::mt19937_64 rng(rngSeed);
  SCOPED_TRACE("random seed " + std::to_string(rngSeed));
  for (int round = 0; round < rounds; ++round) {
    const std::uint64_t seed = 1000 + static_cast<std::uint64_t>(round);
    const std::string target = Path("fault.bin");
    std::int64_t have = 0;
    bool complete = false;
    for (int attempt = 0; !complete; ++attempt) {
      ASSERT_LT(attempt, 200) << "round " << round;
      const std::int64_t dropAt =
          std::uniform_int_distribution<std::int64_t>(have + 1, kSize)(rng);
      auto end =
          Download(FileUrl(kSize, seed, "dropat=" + std::to_string(dropAt)), target, attempt > 0);
      ASSERT_TRUE(end) << "round " << round << " attempt " << attempt;
      if (end->total != 0) {
        ASSERT_EQ(end->percent, 100);
        ASSERT_EQ(dropAt, kSize);
        complete = true;
      } else {
        // Exactly the bytes sent are in the partial file: nothing lost, nothing twice.
        ASSERT_EQ(end->done, dropAt) << "round " << round;
        ASSERT_EQ(SizeOf(target + ".tmp"), dropAt) << "round " << round;
        have = dropAt;
      }
    }
    ASSERT_EQ(Sha256OfFile(target), Sha256OfContent(seed, kSize)) << "round " << round;
    std::remove(target.c_str());
  }
}

// ---- tessaro-http download ----

struct CliRun {
  int exitCode = -1;
  std::string out;
  std::string err;
};

GSubprocess* Spawn(const std::vector<std::string>& args, bool withStdin) {
  std::vector<const char*> argv = {TESSARO_HTTP_PATH};
  for (const std::string& a : args) argv.push_back(a.c_str());
  argv.push_back(nullptr);
  auto flags = static_cast<GSubprocessFlags>(
      G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE |
      (withStdin ? G_SUBPROCESS_FLAGS_STDIN_PIPE : G_SUBPROCESS_FLAGS_NONE));
  return g_subprocess_newv(argv.data(), flags, nullptr);
}

CliRun Finish(GSubprocess* p, const std::string& input = {}) {
  CliRun run;
  GBytes* in = input.empty() ? nullptr : g_bytes_new(input.data(), input.size());
  GBytes* out = nullptr;
  GBytes* err = nullptr;
  if (g_subprocess_communicate(p, in, nullptr, &out, &err, nullptr)) {
    auto text = [](GBytes* b) {
      gsize n = 0;
      const char* d = b ? static_cast<const char*>(g_bytes_get_data(b, &n)) : nullptr;
      return d ? std::string(d, n) : std::string();
    };
    run.out = text(out);
    run.err = text(err);
    if (g_subprocess_get_if_exited(p)) run.exitCode = g_subprocess_get_exit_status(p);
  }
  if (in) g_bytes_unref(in);
  if (out) g_bytes_unref(out);
  if (err) g_bytes_unref(err);
  g_object_unref(p);
  return run;
}

CliRun Cli(const std::vector<std::string>& args, const std::string& input = {}) {
  GSubprocess* p = Spawn(args, !input.empty());
  if (!p) return {};
  return Finish(p, input);
}

TEST_F(DownloadTest, CommandLineInterruptAndResume) {
  constexpr std::int32_t kSize = 1000000;
  const std::string target = Path("cli.bin");
  GSubprocess* p = Spawn({"download", FileUrl(kSize, 41, "stallat=400000"), target}, false);
  ASSERT_TRUE(p);
  // Interrupted once the reads before the stall are on disk.
  const std::int64_t arrived = 400000 / http::kDownloadReadSize * http::kDownloadReadSize;
  const auto until = std::chrono::steady_clock::now() + kDeadline;
  while (SizeOf(target + ".tmp") < arrived && std::chrono::steady_clock::now() < until)
    std::this_thread::sleep_for(5ms);
  g_subprocess_send_signal(p, SIGINT);
  CliRun stopped = Finish(p);
  EXPECT_EQ(stopped.exitCode, 1) << stopped.err;
  EXPECT_EQ(stopped.out, "0 " + std::to_string(arrived) + " " +
                             std::to_string(arrived * 100 / kSize) + " " +
                             stopped.out.substr(stopped.out.rfind(' ') + 1));
  EXPECT_NE(stopped.err.find("% ["), std::string::npos) << "a progress bar on standard error";
  EXPECT_EQ(SizeOf(target + ".tmp"), arrived);
  EXPECT_FALSE(Exists(target));

  CliRun resumed = Cli({"download", FileUrl(kSize, 41), target, "0", "1"});
  EXPECT_EQ(resumed.exitCode, 0) << resumed.err;
  EXPECT_EQ(resumed.out.rfind("1000000 1000000 100 ", 0), 0u) << resumed.out;
  EXPECT_EQ(Sha256OfFile(target), Sha256OfContent(41, kSize));
}

TEST_F(DownloadTest, CommandLineBatchAndNotStarted) {
  const std::string target = Path("batch.bin");
  CliRun batch = Cli({"-"}, "download\t" + FileUrl(3000, 42) + "\t" + target + "\n" +
                             "download\t" + FileUrl(3000, 42, "cl=0") + "\t" + target +
                             "\t1\n" + "download\t" + FileUrl(3000, 42, "dropat=1000") +
                             "\t" + target + "\n" + "size\t" + FileUrl(3000, 42) + "\n");
  EXPECT_EQ(batch.exitCode, 0);
  const std::vector<std::string> lines = [&] {
    std::vector<std::string> l;
    std::string_view rest = batch.out;
    while (!rest.empty()) {
      l.emplace_back(rest.substr(0, rest.find('\n')));
      rest.remove_prefix(std::min(rest.size(), l.back().size() + 1));
    }
    return l;
  }();
  ASSERT_EQ(lines.size(), 4u) << batch.out;
  EXPECT_EQ(lines[0].rfind("final\t3000\t3000\t100\t", 0), 0u) << lines[0];
  EXPECT_EQ(lines[1], "not-started");
  EXPECT_EQ(lines[2].rfind("broken\t0\t1000\t33\t", 0), 0u) << lines[2];
  EXPECT_EQ(lines[3], "3000");

  CliRun notStarted = Cli({"download", FileUrl(3000, 42, "cl=0"), target, "1"});
  EXPECT_EQ(notStarted.exitCode, 2);
  EXPECT_EQ(notStarted.out, "");
}

// ---- A real peer: nginx ----

class NginxDownloadTest : public DownloadTest {
 protected:
  void SetUp() override {
    DownloadTest::SetUp();
    root_ = Path("www");
    ASSERT_EQ(::mkdir(root_.c_str(), 0755), 0);
    WriteFile(root_ + "/big.bin", Content(31, 0, kSize));
    if (!nginx_.Start(root_)) {
      if (nginx_.Missing()) GTEST_SKIP() << nginx_.Error();
      FAIL() << nginx_.Error();
    }
  }
  static constexpr std::int64_t kSize = 8 * 1024 * 1024 + 123;
  std::string root_;
  testing::Nginx nginx_;
};

TEST_F(NginxDownloadTest, WholeFile) {
  EXPECT_EQ(http_.GetRemoteFileSize(nginx_.Url("/big.bin"), 0), kSize);
  auto end = Download(nginx_.Url("/big.bin"), Path("whole.bin"), false);
  ASSERT_TRUE(end);
  EXPECT_EQ(end->total, kSize);
  EXPECT_EQ(end->done, kSize);
  EXPECT_EQ(Sha256OfFile(Path("whole.bin")), Sha256OfContent(31, kSize));
}

TEST_F(NginxDownloadTest, ResumeOfAPartialFileCutAtARandomOffset) {
  const std::uint64_t rngSeed = std::random_device{}();
  std::mt19937_64 rng(rngSeed);
  const std::int64_t cut = std::uniform_int_distribution<std::int64_t>(1, kSize - 1)(rng);
  SCOPED_TRACE("cut at " + std::to_string(cut));
  WriteFile(Path("part.bin.tmp"), Content(31, 0, cut));
  Reports reports(Path("part.bin"));
  auto end = Download(nginx_.Url("/big.bin"), Path("part.bin"), true, &reports);
  ASSERT_TRUE(end);
  for (const Report& r : reports.All()) EXPECT_EQ(r.total, kSize);
  EXPECT_EQ(end->done, kSize);
  EXPECT_EQ(Sha256OfFile(Path("part.bin")), Sha256OfContent(31, kSize));
  EXPECT_NE(nginx_.AccessLog().find(" 206 "), std::string::npos);
}

}  // namespace
}  // namespace tessaro
