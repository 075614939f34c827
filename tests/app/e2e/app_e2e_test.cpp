// The real program on a desktop of its own, driven with xdotool as a person would drive
// it, against the event-server on loopback.
#include <gtest/gtest.h>
#include <libsoup/soup.h>
#include <sys/stat.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "app/e2e/desktop.h"
#include "support/event_server_env.h"
#include "support/process.h"
#include "values/values.h"

namespace tessaro::testing {
namespace {

constexpr int kLongWaitMs = 30000;

// Places of the controls in the window's client area.
constexpr int kButtonX = 8 + 36, kButtonY = 392 + 14;
constexpr int kLabelX = 88 + 100, kLabelY = 388 + 8;
constexpr int kPageX = 16 + 600, kPageY = 300;

std::string Utf8(std::string_view gbk) { return ToUtf8(gbk); }

void WriteBytes(const std::string& path, std::string_view bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

class AppTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Desktop& desktop = SharedDesktop();
    if (!desktop.Error().empty()) GTEST_SKIP() << desktop.Error();
    folder_ = MakeTempDir("tessaro-e2e");
  }
  void TearDown() override {
    if (!folder_.empty()) RemoveTree(folder_);
  }

  std::vector<std::string> ServerArgs(const EventServer& server) const {
    return {"--page", server.Url("/cfpl/s5/live.html"), "--exchange-host",
            "127.0.0.1:" + std::to_string(server.Port()), "--forum",
            "http://127.0.0.1:9/forum/?board=7&from=tessaro"};
  }

  // The main window, once its caption shows the count of codes.
  std::string MainWindow(AppProcess& app) {
    std::string id;
    WaitUntil(
        [&] {
          auto ids = FindWindows("^Tessaro");
          if (!ids.empty()) id = ids.back();
          return !id.empty() || !app.Running();
        },
        kLongWaitMs);
    return id;
  }

  std::string WaitForDialog(const std::string& titleRegex) {
    std::string id;
    WaitUntil(
        [&] {
          auto ids = FindWindows(titleRegex);
          if (!ids.empty()) id = ids.back();
          return !id.empty();
        },
        kLongWaitMs);
    return id;
  }

  std::string folder_;
};

TEST_F(AppTest, WithoutCodeListShowsTheMessageAndEndsWithZero) {
  AppProcess app;
  ASSERT_TRUE(app.Start(folder_, {"--page", "about:blank"})) << app.Error();
  const std::string box = WaitForDialog("^错误$");
  ASSERT_FALSE(box.empty()) << app.Stderr();
  // The box blocks the program until the user closes it.
  EXPECT_TRUE(app.Running());
  PressKeys(box, {"Return"});
  EXPECT_EQ(app.Wait(kLongWaitMs), 0) << app.Stderr();
  EXPECT_TRUE(FindWindows("^Tessaro").empty());
}

// Captions as seen from outside, while the run goes on: each must be one the run shows,
// in the run's order.
void ExpectInRunOrder(const std::vector<std::string>& seen, const std::vector<std::string>& order) {
  std::size_t at = 0;
  for (const std::string& s : seen) {
    while (at < order.size() && order[at] != s) ++at;
    EXPECT_LT(at, order.size()) << "caption out of order or unknown: " << s;
  }
}

TEST_F(AppTest, LoginThenRedeemEveryCodeTwiceWithTheLoginCookie) {
  EventServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  const std::vector<std::string> codes = {"A1", "", "x&y", "a b", Gbk("兑换码"), "Z9"};
  std::string list;
  for (const std::string& c : codes) list += c + "\r\n";
  WriteBytes(folder_ + "/Quorvel", list);

  AppProcess app;
  ASSERT_TRUE(app.Start(folder_, ServerArgs(server))) << app.Error();
  const std::string window = MainWindow(app);
  ASSERT_FALSE(window.empty()) << app.Stderr();
  const std::string countCaption = WindowTitle(window);
  EXPECT_EQ(countCaption.rfind(Utf8(Gbk("Tessaro（6个）")), 0), 0u) << countCaption;

  // The page opens by itself; log in inside it with the keyboard.
  ASSERT_TRUE(WaitUntil([&] { return !server.Record("live").empty(); }, kLongWaitMs));
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // let the page lay out
  ClickAt(window, kPageX, kPageY);
  PressKeys(window, {"Tab"});
  TypeText(window, "player1");
  PressKeys(window, {"Tab"});
  TypeText(window, "secret");
  PressKeys(window, {"Return"});
  ASSERT_TRUE(WaitUntil([&] { return !server.Record("login").empty(); }, kLongWaitMs));
  const auto logins = server.Record("login");
  ASSERT_EQ(logins.back().method, "POST");
  // The answer to the login carries the session cookie; it is HttpOnly, so only the store
  // can hand it on. The click below must find it there at once.
  std::vector<std::string> order = {countCaption, Utf8(Gbk("兑换开始!!"))};
  for (std::size_t n = 1; n <= codes.size(); ++n)
    order.push_back(Utf8(Gbk("第")) + std::to_string(n) + Utf8(Gbk("个领取成功")));

  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    server.ClearRecord();
    ClickAt(window, kButtonX, kButtonY);
    std::vector<std::string> seen;
    std::string done;
    WaitUntil(
        [&] {
          const std::string t = WindowTitle(window);
          if (seen.empty() || seen.back() != t) seen.push_back(t);
          auto ids = FindWindows("^信息：$");
          if (!ids.empty()) done = ids.back();
          return !done.empty();
        },
        kLongWaitMs);
    ASSERT_FALSE(done.empty()) << "no end message; " << app.Stderr();
    seen.push_back(WindowTitle(window));
    ExpectInRunOrder(seen, order);
    EXPECT_EQ(seen.back(), order.back());

    const auto record = server.Record("exchange");
    ASSERT_EQ(record.size(), codes.size());
    for (std::size_t i = 0; i < codes.size(); ++i) {
      SCOPED_TRACE("code " + std::to_string(i + 1));
      // The code goes out as it is: the server reads "x&y" only up to the "&".
      const std::string expectedKey = codes[i] == "x&y" ? "x" : codes[i];
      EXPECT_EQ(record[i].sKey.value_or("<none>"), expectedKey);
      EXPECT_EQ(record[i].t.value_or("<none>"), "0.584");
      EXPECT_TRUE(record[i].loggedIn) << record[i].cookie.value_or("<no cookie>");
      EXPECT_NE(record[i].cookie.value_or("").find("cfsession="), std::string::npos);
    }
    // Closed with the keyboard; the button works again afterwards (the second round).
    PressKeys(done, {"Return"});
    ASSERT_TRUE(WaitUntil([&] { return FindWindows("^信息：$").empty(); }, kLongWaitMs));
  }
  PressKeys(window, {"alt+F4"});
  EXPECT_EQ(app.Wait(kLongWaitMs), 0) << app.Stderr();
}

TEST_F(AppTest, EmptyListSendsNothingAndEnds) {
  EventServer server;
  ASSERT_TRUE(server.Start()) << server.Error();
  WriteBytes(folder_ + "/Quorvel", "");
  AppProcess app;
  ASSERT_TRUE(app.Start(folder_, ServerArgs(server))) << app.Error();
  const std::string window = MainWindow(app);
  ASSERT_FALSE(window.empty()) << app.Stderr();
  EXPECT_EQ(WindowTitle(window).rfind(Utf8(Gbk("Tessaro（0个）")), 0), 0u);
  ClickAt(window, kButtonX, kButtonY);
  const std::string done = WaitForDialog("^信息：$");
  ASSERT_FALSE(done.empty()) << app.Stderr();
  EXPECT_EQ(WindowTitle(window), Utf8(Gbk("兑换开始!!")));
  EXPECT_TRUE(server.Record("exchange").empty());
  PressKeys(done, {"Return"});
  ASSERT_TRUE(WaitUntil([&] { return FindWindows("^信息：$").empty(); }, kLongWaitMs));
  PressKeys(window, {"alt+F4"});
  EXPECT_EQ(app.Wait(kLongWaitMs), 0) << app.Stderr();
}

TEST_F(AppTest, LabelOpensTheForumInTheDefaultBrowser) {
  // A stand-in default browser that writes down what it was given.
  const std::string given = folder_ + "/browser-was-given.txt";
  const std::string script = folder_ + "/record-browser.sh";
  WriteBytes(script, "#!/bin/sh\nprintf '%s\\n' \"$@\" > \"" + given + "\"\n");
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  const std::string apps = folder_ + "/.local/share/applications";
  ASSERT_EQ(g_mkdir_with_parents(apps.c_str(), 0755), 0);
  ASSERT_EQ(g_mkdir_with_parents((folder_ + "/.config").c_str(), 0755), 0);
  WriteBytes(apps + "/record-browser.desktop",
             "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + script +
                 " %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n");
  WriteBytes(folder_ + "/.config/mimeapps.list",
             "[Default Applications]\nx-scheme-handler/http=record-browser.desktop\n"
             "x-scheme-handler/https=record-browser.desktop\n");
  WriteBytes(folder_ + "/Quorvel", "A\r\n");

  AppProcess app;
  ASSERT_TRUE(app.Start(folder_, {"--page", "about:blank", "--forum",
                                  "http://127.0.0.1:9/forum/?board=7&from=tessaro"}))
      << app.Error();
  const std::string window = MainWindow(app);
  ASSERT_FALSE(window.empty()) << app.Stderr();
  ClickAt(window, kLabelX, kLabelY);
  ASSERT_TRUE(WaitUntil([&] { return !ReadFileText(given).empty(); }, kLongWaitMs))
      << app.Stderr();
  EXPECT_EQ(ReadFileText(given), "http://127.0.0.1:9/forum/?board=7&from=tessaro\n");
  EXPECT_TRUE(app.Running());
  PressKeys(window, {"alt+F4"});
  EXPECT_EQ(app.Wait(kLongWaitMs), 0) << app.Stderr();
}

// An exchange endpoint that answers each request only after a delay, on a thread of its
// own, counting the requests that reach it.
class SlowExchange {
 public:
  explicit SlowExchange(unsigned delayMs) : delayMs_(delayMs) {
    thread_ = std::thread([this] { Serve(); });
    WaitUntil([this] { return port_.load() != 0; }, 10000);
  }
  ~SlowExchange() {
    g_main_loop_quit(loop_);
    thread_.join();
  }
  unsigned Port() const { return port_.load(); }
  int Requests() const { return requests_.load(); }

 private:
  struct Pending {
    SlowExchange* self;
    SoupServerMessage* msg;
  };
  static gboolean Answer(gpointer data) {
    auto* p = static_cast<Pending*>(data);
    soup_server_message_set_status(p->msg, 200, nullptr);
    soup_server_message_set_response(p->msg, "text/plain", SOUP_MEMORY_STATIC, "ok", 2);
    soup_server_message_unpause(p->msg);
    g_object_unref(p->msg);
    delete p;
    return G_SOURCE_REMOVE;
  }
  static void Handle(SoupServer*, SoupServerMessage* msg, const char*, GHashTable*,
                     gpointer data) {
    auto* self = static_cast<SlowExchange*>(data);
    ++self->requests_;
    soup_server_message_pause(msg);
    GSource* timer = g_timeout_source_new(self->delayMs_);
    g_source_set_callback(timer, Answer, new Pending{self, SOUP_SERVER_MESSAGE(g_object_ref(msg))},
                          nullptr);
    g_source_attach(timer, g_main_context_get_thread_default());
    g_source_unref(timer);
  }
  void Serve() {
    GMainContext* context = g_main_context_new();
    g_main_context_push_thread_default(context);
    loop_ = g_main_loop_new(context, FALSE);
    SoupServer* server = soup_server_new(nullptr, nullptr);
    soup_server_add_handler(server, nullptr, Handle, this, nullptr);
    GInetAddress* lo = g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4);
    GSocketAddress* address = g_inet_socket_address_new(lo, 0);
    soup_server_listen(server, address, static_cast<SoupServerListenOptions>(0), nullptr);
    GSList* uris = soup_server_get_uris(server);
    port_ = static_cast<unsigned>(g_uri_get_port(static_cast<GUri*>(uris->data)));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    g_main_loop_run(loop_);
    soup_server_disconnect(server);
    g_object_unref(server);
    g_object_unref(address);
    g_object_unref(lo);
    g_main_loop_unref(loop_);
    g_main_context_pop_thread_default(context);
    g_main_context_unref(context);
  }

  unsigned delayMs_;
  std::atomic<unsigned> port_{0};
  std::atomic<int> requests_{0};
  GMainLoop* loop_ = nullptr;
  std::thread thread_;
};

TEST_F(AppTest, ClosingDuringARunEndsAfterTheRequestInFlight) {
  SlowExchange slow(3000);
  ASSERT_NE(slow.Port(), 0u);
  WriteBytes(folder_ + "/Quorvel", "C1\r\nC2\r\nC3\r\nC4\r\nC5\r\n");
  AppProcess app;
  ASSERT_TRUE(app.Start(folder_, {"--page", "about:blank", "--exchange-host",
                                  "127.0.0.1:" + std::to_string(slow.Port())}))
      << app.Error();
  const std::string window = MainWindow(app);
  ASSERT_FALSE(window.empty()) << app.Stderr();
  ClickAt(window, kButtonX, kButtonY);
  ASSERT_TRUE(WaitUntil([&] { return slow.Requests() == 1; }, kLongWaitMs));
  EXPECT_EQ(WindowTitle(window), Utf8(Gbk("第1个领取成功")));
  PressKeys(window, {"alt+F4"});
  EXPECT_EQ(app.Wait(kLongWaitMs), 0) << app.Stderr();
  EXPECT_EQ(slow.Requests(), 1);
  EXPECT_TRUE(FindWindows("^信息：$").empty());
}

}  // namespace
}  // namespace tessaro::testing
