// online, size URL [ATTEMPTS], download URL [SAVEPATH [ATTEMPTS [RESUME]]]: the download
// methods of HTTP类.
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "http/download.h"
#include "tessaro-http/commands.h"
#include "values/services.h"

namespace tessaro::cli {
namespace {

volatile std::sig_atomic_t interrupted = 0;

void OnInterrupt(int) { interrupted = 1; }

std::optional<std::int32_t> ParseInt(const std::string& t) {
  std::int32_t value = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), value);
  if (t.empty() || ec != std::errc() || end != t.data() + t.size()) return std::nullopt;
  return value;
}

CommandResult UsageError(std::string message) {
  return {{"error: " + message}, "error: " + message + "\n", 64};
}

std::string Numbers(std::int32_t a, std::int32_t b, std::int32_t c, std::int32_t d) {
  return std::to_string(a) + ' ' + std::to_string(b) + ' ' + std::to_string(c) + ' ' +
         std::to_string(d);
}

CommandResult RunOnline(CommandContext& context, const std::vector<std::string>&) {
  const bool online = context.http.IsOnline();
  return {{online ? "true" : "false"}, std::nullopt, online ? 0 : 1};
}

CommandResult RunSize(CommandContext& context, const std::vector<std::string>& args) {
  std::int32_t attempts = 0;
  if (args.size() > 1) {
    auto a = ParseInt(args[1]);
    if (!a) return UsageError("ATTEMPTS must be an integer");
    attempts = *a;
  }
  const std::int32_t size = context.http.GetRemoteFileSize(args[0], attempts);
  return {{ToText(size)}, std::nullopt, size >= 0 ? 0 : 1};
}

// The reports of one download, handed from the worker thread to the command's thread.
struct Reports {
  std::mutex mutex;
  std::condition_variable changed;
  std::int32_t last[4] = {0, 0, 0, 0};
  std::uint64_t count = 0;
  bool ended = false;
  bool final = false;
};

class ProgressBar {
 public:
  explicit ProgressBar(bool tty) : tty_(tty) {}

  void Show(const std::int32_t r[4]) {
    constexpr int kWidth = 30;
    const int percent = r[2] < 0 ? 0 : (r[2] > 100 ? 100 : r[2]);
    const int filled = percent * kWidth / 100;
    std::string bar(static_cast<std::size_t>(filled), '#');
    bar.append(static_cast<std::size_t>(kWidth - filled), '-');
    std::fprintf(stderr, "%s%3d%% [%s] %d/%d bytes %d KB/s%s", tty_ ? "\r" : "", percent,
                 bar.c_str(), r[1], r[0], r[3], tty_ ? "\x1b[K" : "\n");
    std::fflush(stderr);
    shown_ = true;
  }

  void End() {
    if (tty_ && shown_) std::fputc('\n', stderr);
  }

 private:
  bool tty_;
  bool shown_ = false;
};

CommandResult RunDownload(CommandContext& context, const std::vector<std::string>& args) {
  const TextValue& url = args[0];
  const TextValue savePath = args.size() > 1 ? args[1] : TextValue();
  std::int32_t attempts = 0;
  bool resume = false;
  if (args.size() > 2) {
    auto a = ParseInt(args[2]);
    if (!a) return UsageError("ATTEMPTS must be an integer");
    attempts = *a;
  }
  if (args.size() > 3) {
    if (args[3] != "0" && args[3] != "1") return UsageError("RESUME must be 1 or 0");
    resume = args[3] == "1";
  }

  // Only the last report and whether it ended the download matter; the bar is drawn here,
  // not on the worker thread.
  auto reports = std::make_shared<Reports>();
  const TextValue partial = ConcatText(http::DownloadTargetPath(url, savePath), ".tmp");
  ProgressRoutine routine = [reports, partial](std::int32_t total, std::int32_t done,
                                               std::int32_t percent, std::int32_t speed) {
    // Progress reports never carry 100 nor a total of 0: a report with either ended the
    // download. The one report both kinds can share, (0, 0, 100, 0) of an empty file,
    // tells itself apart by the partial file: a completed download has removed it.
    const bool end = total == 0 || percent == 100;
    const bool final = percent == 100 && (total != 0 || !FileExists(partial));
    std::lock_guard lock(reports->mutex);
    reports->last[0] = total;
    reports->last[1] = done;
    reports->last[2] = percent;
    reports->last[3] = speed;
    ++reports->count;
    if (end) {
      reports->ended = true;
      reports->final = final;
    }
    reports->changed.notify_all();
    return 1;
  };

  struct sigaction action{};
  struct sigaction previous{};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  interrupted = 0;
  sigaction(SIGINT, &action, &previous);

  const bool started = context.http.StartDownload(routine, url, savePath, attempts, resume);
  if (!started) {
    sigaction(SIGINT, &previous, nullptr);
    if (context.batch) return {{"not-started"}, std::nullopt, 2};
    std::fputs("tessaro-http: the download could not start\n", stderr);
    return {{}, "", 2};
  }

  ProgressBar bar(isatty(2) == 1);
  bool stopped = false;
  std::uint64_t seen = 0;
  std::int32_t last[4];
  bool final = false;
  for (;;) {
    std::unique_lock lock(reports->mutex);
    reports->changed.wait_for(lock, std::chrono::milliseconds(100),
                              [&] { return reports->ended || reports->count != seen; });
    const bool ended = reports->ended;
    const bool fresh = reports->count != seen;
    seen = reports->count;
    std::copy(std::begin(reports->last), std::end(reports->last), last);
    final = reports->final;
    lock.unlock();
    if (fresh && !context.batch && !ended) bar.Show(last);
    if (ended) break;
    if (interrupted && !stopped) {
      // Ctrl-C: break the download off; the partial file stays for a resume.
      context.http.StopDownload();
      stopped = true;
    }
  }
  sigaction(SIGINT, &previous, nullptr);
  if (!context.batch) {
    if (final) bar.Show(last);
    bar.End();
  }

  CommandResult result;
  result.fields = {final ? "final" : "broken", ToText(last[0]), ToText(last[1]),
                   ToText(last[2]), ToText(last[3])};
  if (!context.batch) result.text = Numbers(last[0], last[1], last[2], last[3]) + "\n";
  result.exitCode = final ? 0 : 1;
  return result;
}

}  // namespace

void RegisterDownloadCommands(CommandList& commands) {
  commands.push_back({"online", "", "Prints true when the machine is connected (exit 0), else false (exit 1).", 0,
                      0, RunOnline});
  commands.push_back({"size", "URL [ATTEMPTS]",
                      "Prints the Content-Length of URL, or -1 (exit 1); ATTEMPTS tries, 0 for 5.",
                      1, 2, RunSize});
  commands.push_back(
      {"download", "URL [SAVEPATH [ATTEMPTS [RESUME]]]",
       "Downloads URL into SAVEPATH with a progress bar on standard error and prints the last "
       "report: total, done, percent, KB/s. RESUME 1 continues SAVEPATH.tmp. Exit 0 complete, "
       "1 broken off (Ctrl-C stops and keeps the partial file), 2 not started. Batch: final, "
       "broken or not-started, then the four numbers.",
       1, 4, RunDownload});
}

}  // namespace tessaro::cli
