// The embedded browser and the process cookie store kept in step, with real WebKitGTK on a
// desktop of the test's own and the event-server's page.
#include "platform/browser.h"

#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <atomic>
#include <string>

#include "app/e2e/desktop.h"
#include "http/http_class.h"
#include "platform/inet.h"
#include "platform/linux/inet_store.h"
#include "platform/sys.h"
#include "support/event_server_env.h"

namespace tessaro::platform {
namespace {

using tessaro::testing::EventServer;
using tessaro::testing::SharedDesktop;

constexpr int kWaitMs = 20000;

// Runs the GUI's pending work until condition holds or the time is up.
bool PumpUntil(const std::function<bool()>& condition, int timeoutMs) {
  const gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
  while (!condition()) {
    if (g_get_monotonic_time() > deadline) return false;
    g_main_context_iteration(nullptr, FALSE);
    g_usleep(2000);
  }
  return true;
}

void Pump(int ms) {
  PumpUntil([] { return false; }, ms);
}

// The value of a script's expression in the page, as a string.
std::string Evaluate(Browser& browser, const std::string& script) {
  struct Call {
    bool done = false;
    std::string value;
  } call;
  webkit_web_view_evaluate_javascript(
      WEBKIT_WEB_VIEW(browser.Widget()), script.c_str(), -1, nullptr, nullptr, nullptr,
      [](GObject* view, GAsyncResult* result, gpointer data) {
        auto* c = static_cast<Call*>(data);
        if (JSCValue* v = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(view),
                                                                     result, nullptr)) {
          gchar* s = jsc_value_to_string(v);
          c->value = s;
          g_free(s);
          g_object_unref(v);
        }
        c->done = true;
      },
      &call);
  PumpUntil([&] { return call.done; }, kWaitMs);
  return call.value;
}

std::string StoreCookies(const std::string& url) {
  char buffer[4096];
  std::uint32_t size = sizeof buffer;
  if (inet::InternetGetCookieA(url.c_str(), nullptr, buffer, &size) == 0) return "";
  return std::string(buffer);
}

bool Has(const std::string& cookies, const std::string& pair) {
  return ("; " + cookies + ";").find("; " + pair + ";") != std::string::npos;
}

class BrowserBridgeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!SharedDesktop().Error().empty()) GTEST_SKIP() << SharedDesktop().Error();
    ASSERT_TRUE(InitGui());
    ASSERT_TRUE(server_.Start()) << server_.Error();
    page_ = server_.Url("/cfpl/s5/live.html");
    root_ = server_.Url("/");
    window_ = gtk_offscreen_window_new();
    browser_ = std::make_unique<Browser>(page_);
    gtk_container_add(GTK_CONTAINER(window_), static_cast<GtkWidget*>(browser_->Widget()));
    gtk_widget_show_all(window_);
    ASSERT_TRUE(PumpUntil([&] { return !webkit_web_view_is_loading(View()); } , kWaitMs));
    ASSERT_TRUE(PumpUntil([&] { return !server_.Record("live").empty(); }, kWaitMs));
    ASSERT_TRUE(PumpUntil([&] { return !webkit_web_view_is_loading(View()); }, kWaitMs));
  }
  void TearDown() override {
    if (window_ != nullptr) gtk_widget_destroy(window_);
    browser_.reset();
  }
  WebKitWebView* View() { return WEBKIT_WEB_VIEW(browser_->Widget()); }

  EventServer server_;
  std::string page_, root_;
  GtkWidget* window_ = nullptr;
  std::unique_ptr<Browser> browser_;
};

TEST_F(BrowserBridgeTest, PageCookiesReachTheStoreAndDeletionsFollow) {
  // The page's script sets cfvisit.
  ASSERT_TRUE(PumpUntil([&] { return StoreCookies(root_).find("cfvisit=") != std::string::npos; },
                        kWaitMs))
      << StoreCookies(root_);
  Evaluate(*browser_, "document.cookie = 'cfvisit=; path=/; max-age=0'; 'ok'");
  EXPECT_TRUE(PumpUntil(
      [&] { return StoreCookies(root_).find("cfvisit=") == std::string::npos; }, kWaitMs))
      << StoreCookies(root_);
}

TEST_F(BrowserBridgeTest, CookieSetThroughTheClassIsSeenByThePage) {
  std::atomic<int> changes{0};
  const auto id = inet::AddCookieObserver(
      [&](const SoupCookie*, const SoupCookie*, inet::CookieOrigin) { ++changes; });
  HTTP类 http;
  TextValue value = "v1";
  ASSERT_TRUE(http.SetCookie(root_, "bridged", value));
  EXPECT_TRUE(PumpUntil(
      [&] { return Evaluate(*browser_, "document.cookie").find("bridged=v1") != std::string::npos; },
      kWaitMs));
  // Nothing goes back and forth: once the page has it, the store sees no more changes.
  Pump(300);
  const int settled = changes.load();
  Pump(700);
  EXPECT_EQ(changes.load(), settled);
  EXPECT_TRUE(Has(StoreCookies(root_), "bridged=v1"));

  inet::RemoveCookieObserver(id);

  // A deletion in the store (an expiry in the past) leaves the page too.
  ASSERT_EQ(inet::InternetSetCookieA(root_.c_str(), "bridged",
                                     "gone; expires=Thu, 01 Jan 1970 00:00:00 GMT"),
            1u);
  EXPECT_FALSE(Has(StoreCookies(root_), "bridged=v1"));
  EXPECT_TRUE(PumpUntil(
      [&] { return Evaluate(*browser_, "document.cookie").find("bridged") == std::string::npos; },
      kWaitMs));
}

TEST_F(BrowserBridgeTest, HttpOnlyLoginIsInTheStoreRightAfterTheWait) {
  Evaluate(*browser_,
           "document.getElementById('user').value = 'player2';"
           "document.getElementById('password').value = 'pw';"
           "document.getElementById('submit').click(); 'sent'");
  ASSERT_TRUE(PumpUntil([&] { return !server_.Record("login").empty(); }, kWaitMs));
  ASSERT_TRUE(PumpUntil([&] { return !webkit_web_view_is_loading(View()); }, kWaitMs));
  // The page cannot read it: HttpOnly.
  EXPECT_EQ(Evaluate(*browser_, "document.cookie").find("cfsession"), std::string::npos);
  ASSERT_TRUE(browser_->SyncCookiesToStore(3000));
  // No pumping between the wait and the look: the wait itself brought it over.
  EXPECT_NE(StoreCookies(root_).find("cfsession="), std::string::npos) << StoreCookies(root_);
}

}  // namespace
}  // namespace tessaro::platform
