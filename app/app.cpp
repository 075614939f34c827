#include "app/app.h"

#include <gtk/gtk.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "app/code_list.h"
#include "app/options.h"
#include "app/run.h"
#include "app/window.h"
#include "http/http_class.h"
#include "platform/sys.h"
#include "values/services.h"

namespace tessaro::app {

namespace {

// How long a click waits for the browser's latest cookies to reach the process store.
constexpr int kCookieSyncTimeoutMs = 3000;

// The application's globals, from start-up to the shutdown routine.
struct Globals {
  CodeList codes;  // codeBytes, codeItems, codeText
  std::int32_t redeemCount = 0;
  std::unique_ptr<HTTP类> http;
};
Globals* globals = nullptr;

// Run by the orderly end of the process, after the message loop has ended.
void ShutdownRoutine() {
  if (globals == nullptr) return;
  globals->codes.codeBytes = ByteSet();
  globals->codes.codeItems.Clear();
  globals->codes.codeText.clear();
  if (globals->http) {
    globals->http->Destroy();
    globals->http.reset();
  }
  delete globals;
  globals = nullptr;
}

// Window created: loads the code list and shows the count. False when the program must end.
bool OnWindowCreated(MainWindow& window) {
  if (!FileExists(kCodeListName)) {
    MessageBox(Gbk("请把压缩包里面的文件一起解压到一个目录"), 16, Gbk("错误"));
    return false;
  }
  LoadCodeList(kCodeListName, globals->codes);
  window.SetCaption(CountCaption(ArrayCount(globals->codes.codeItems)));
  return true;
}

void OnButtonClicked(MainWindow& window, const Options& options, bool& running) {
  if (running) return;  // a click queued while the cookies were being fetched
  running = true;
  window.SetBusy(true);
  window.SetButtonEnabled(false);
  // A login that has just finished in the page may not have reached the store yet.
  window.SyncBrowserCookies(kCookieSyncTimeoutMs);
  if (!window.Closing()) {
    const RunInput input{globals->codes.codeItems, globals->codes.codeText, options.exchangeHost};
    RedeemAll(*globals->http, input, globals->redeemCount, window);
  }
  window.SetBusy(false);
  running = false;
  if (window.Closing()) window.Destroy();  // closed during the run: the loop ends now
}

void OnLabelPressed(const Options& options) {
  // Nothing is reported when no browser can be started.
  platform::OpenInDefaultBrowser(options.forumUrl);
}

}  // namespace

int Main(int argc, char** argv) {
  // GTK's own options (--display and the like) are taken out first.
  gtk_parse_args(&argc, &argv);
  const std::vector<std::string> args(argv + 1, argv + argc);
  const ParsedOptions parsed = ParseOptions(args);
  std::string program = "tessaro";
  if (argc > 0) {
    gchar* base = g_path_get_basename(argv[0]);
    program = base;
    g_free(base);
  }
  if (parsed.help) {
    std::fputs(HelpText(program).c_str(), stdout);
    return 0;
  }
  if (!parsed.error.empty()) {
    std::fprintf(stderr, "%s: %s\nTry '%s --help'.\n", program.c_str(), parsed.error.c_str(),
                 program.c_str());
    return 2;
  }
  const Options& options = parsed.options;

  if (!platform::InitGui()) {
    std::fprintf(stderr,
                 "%s: cannot open a display. Without one, run it as: xvfb-run -a %s\n",
                 program.c_str(), program.c_str());
    return 1;
  }

  globals = new Globals;
  globals->http = std::make_unique<HTTP类>();
  std::atexit(ShutdownRoutine);

  bool running = false;
  MainWindow* self = nullptr;
  MainWindow window(options, {
                                 .buttonClicked =
                                     [&] { OnButtonClicked(*self, options, running); },
                                 .labelPressed = [&] { OnLabelPressed(options); },
                             });
  self = &window;
  if (OnWindowCreated(window)) {
    window.Show();
    gtk_main();
  }
  return 0;
}

}  // namespace tessaro::app
