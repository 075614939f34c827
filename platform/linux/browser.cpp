// The embedded browser on WebKitGTK, bridged to the process cookie store.
//
// WebKit keeps its cookies in its network process; the process store is a SoupCookieJar
// here. Both are kept in step:
//   browser -> store: the cookie manager's "changed" signal asks for all cookies, and the
//     difference to what the browser held before is applied to the store, marked as coming
//     from the browser so the store's observer does not push it back;
//   store -> browser: the store's observer (any thread) copies the change and hops to the
//     GUI thread, which adds or deletes the cookie in the browser. The echo that WebKit
//     then signals matches what is already known and changes nothing.
// A snapshot requested before a cookie was pushed may arrive after the push; cookies
// pushed after a snapshot was requested are left out of that snapshot's comparison.
#include "platform/browser.h"

#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include <cstdint>
#include <map>
#include <string>
#include <tuple>
#include <utility>

#include "platform/linux/inet_store.h"

namespace tessaro::platform {

namespace {

struct CookieDeleter {
  void operator()(SoupCookie* c) const { soup_cookie_free(c); }
};
using CookiePtr = std::unique_ptr<SoupCookie, CookieDeleter>;

CookiePtr CopyCookie(const SoupCookie* c) {
  return CookiePtr(soup_cookie_copy(const_cast<SoupCookie*>(c)));
}

using CookieKey = std::tuple<std::string, std::string, std::string>;  // domain, path, name

const char* OrEmpty(const char* s) { return s != nullptr ? s : ""; }

CookieKey KeyOf(const SoupCookie* c) {
  auto* m = const_cast<SoupCookie*>(c);
  return {OrEmpty(soup_cookie_get_domain(m)), OrEmpty(soup_cookie_get_path(m)),
          OrEmpty(soup_cookie_get_name(m))};
}

// Everything a change can touch besides the key.
bool SameCookie(const SoupCookie* a, const SoupCookie* b) {
  auto* x = const_cast<SoupCookie*>(a);
  auto* y = const_cast<SoupCookie*>(b);
  GDateTime* ex = soup_cookie_get_expires(x);
  GDateTime* ey = soup_cookie_get_expires(y);
  const bool sameExpiry = (ex == nullptr && ey == nullptr) ||
                          (ex != nullptr && ey != nullptr &&
                           g_date_time_to_unix(ex) == g_date_time_to_unix(ey));
  return sameExpiry && std::string_view(OrEmpty(soup_cookie_get_value(x))) ==
                           std::string_view(OrEmpty(soup_cookie_get_value(y))) &&
         soup_cookie_get_secure(x) == soup_cookie_get_secure(y) &&
         soup_cookie_get_http_only(x) == soup_cookie_get_http_only(y) &&
         soup_cookie_get_same_site_policy(x) == soup_cookie_get_same_site_policy(y);
}

template <class T>
struct GObjectRef {
  T* p = nullptr;
  GObjectRef() = default;
  explicit GObjectRef(T* adopted) : p(adopted) {}
  GObjectRef(const GObjectRef&) = delete;
  GObjectRef& operator=(const GObjectRef&) = delete;
  ~GObjectRef() {
    if (p != nullptr) g_object_unref(p);
  }
};

}  // namespace

struct Browser::State : std::enable_shared_from_this<Browser::State> {
  GObjectRef<WebKitWebsiteDataManager> dataManager;
  GObjectRef<WebKitWebContext> context;
  GObjectRef<WebKitWebView> view;
  WebKitCookieManager* cookies = nullptr;  // owned by dataManager
  GObjectRef<GCancellable> cancellable{g_cancellable_new()};
  std::uint64_t observerId = 0;
  gulong changedHandler = 0;

  // What the browser holds, as far as this bridge knows.
  std::map<CookieKey, CookiePtr> known;
  // Generation counter: bumped by every push into the browser and every snapshot request.
  std::uint64_t generation = 0;
  std::map<CookieKey, std::uint64_t> pushedAt;
  // Snapshots are applied in the order they were requested.
  std::uint64_t snapshotsRequested = 0;
  std::uint64_t snapshotsApplied = 0;

  std::string startUrl;
  int startPushesPending = 0;

  void RequestSnapshot();
  void ApplySnapshot(std::uint64_t requestedAt, GList* cookies);
  void PushToBrowser(const SoupCookie* oldCookie, const SoupCookie* newCookie);
  void StartPushDone();
};

namespace {

// The async calls hold the state weakly: a browser destroyed meanwhile is simply skipped.
struct SnapshotCall {
  std::weak_ptr<Browser::State> state;
  std::uint64_t requestedAt;
};

void OnSnapshot(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<SnapshotCall> call(static_cast<SnapshotCall*>(data));
  GError* error = nullptr;
  GList* list =
      webkit_cookie_manager_get_all_cookies_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
  auto state = call->state.lock();
  if (error != nullptr) {
    g_error_free(error);
    // Counted all the same, so a wait for it ends.
    if (state) ++state->snapshotsApplied;
    return;
  }
  if (state) state->ApplySnapshot(call->requestedAt, list);
  g_list_free_full(list, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
}

void OnBrowserCookiesChanged(WebKitCookieManager*, gpointer data) {
  static_cast<Browser::State*>(data)->RequestSnapshot();
}

struct StartPushCall {
  std::weak_ptr<Browser::State> state;
};

void OnStartPushDone(GObject* source, GAsyncResult* result, gpointer data) {
  std::unique_ptr<StartPushCall> call(static_cast<StartPushCall*>(data));
  webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, nullptr);
  if (auto state = call->state.lock()) state->StartPushDone();
}

void OnPushDone(GObject* source, GAsyncResult* result, gpointer /*data*/) {
  // A failed push leaves the browser without the cookie; the next snapshot shows that and
  // the bridge's view follows it.
  GError* error = nullptr;
  webkit_cookie_manager_add_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
  if (error != nullptr) g_error_free(error);
}

void OnDeleteDone(GObject* source, GAsyncResult* result, gpointer /*data*/) {
  GError* error = nullptr;
  webkit_cookie_manager_delete_cookie_finish(WEBKIT_COOKIE_MANAGER(source), result, &error);
  if (error != nullptr) g_error_free(error);
}

// A store change on its way to the GUI thread.
struct StoreChange {
  std::weak_ptr<Browser::State> state;
  CookiePtr oldCookie;
  CookiePtr newCookie;
};

gboolean DeliverStoreChange(gpointer data) {
  auto* change = static_cast<StoreChange*>(data);
  if (auto state = change->state.lock())
    state->PushToBrowser(change->oldCookie.get(), change->newCookie.get());
  return G_SOURCE_REMOVE;
}

void FreeStoreChange(gpointer data) { delete static_cast<StoreChange*>(data); }

}  // namespace

void Browser::State::RequestSnapshot() {
  ++snapshotsRequested;
  auto* call = new SnapshotCall{weak_from_this(), ++generation};
  webkit_cookie_manager_get_all_cookies(cookies, cancellable.p, OnSnapshot, call);
}

void Browser::State::ApplySnapshot(std::uint64_t requestedAt, GList* list) {
  ++snapshotsApplied;
  auto pushedLater = [&](const CookieKey& key) {
    auto it = pushedAt.find(key);
    return it != pushedAt.end() && it->second > requestedAt;
  };
  std::map<CookieKey, SoupCookie*> now;
  for (GList* l = list; l != nullptr; l = l->next) {
    auto* c = static_cast<SoupCookie*>(l->data);
    now[KeyOf(c)] = c;
  }
  for (const auto& [key, cookie] : now) {
    if (pushedLater(key)) continue;
    auto it = known.find(key);
    if (it != known.end() && SameCookie(it->second.get(), cookie)) continue;
    inet::ApplyBrowserCookieChange(cookie, true);
    known[key] = CopyCookie(cookie);
  }
  for (auto it = known.begin(); it != known.end();) {
    if (now.contains(it->first) || pushedLater(it->first)) {
      ++it;
      continue;
    }
    inet::ApplyBrowserCookieChange(it->second.get(), false);
    it = known.erase(it);
  }
}

void Browser::State::PushToBrowser(const SoupCookie* oldCookie, const SoupCookie* newCookie) {
  if (newCookie != nullptr) {
    const CookieKey key = KeyOf(newCookie);
    auto it = known.find(key);
    if (it != known.end() && SameCookie(it->second.get(), newCookie)) return;  // an echo
    known[key] = CopyCookie(newCookie);
    pushedAt[key] = ++generation;
    webkit_cookie_manager_add_cookie(cookies, const_cast<SoupCookie*>(newCookie), cancellable.p,
                                     OnPushDone, nullptr);
    return;
  }
  if (oldCookie == nullptr) return;
  const CookieKey key = KeyOf(oldCookie);
  auto it = known.find(key);
  if (it == known.end()) return;  // the browser does not hold it
  pushedAt[key] = ++generation;
  // WebKit finds the cookie to delete by name, value and path: pass the one it holds.
  webkit_cookie_manager_delete_cookie(cookies, it->second.get(), cancellable.p, OnDeleteDone,
                                      nullptr);
  known.erase(it);
}

void Browser::State::StartPushDone() {
  if (--startPushesPending == 0)
    webkit_web_view_load_uri(view.p, startUrl.c_str());
}

Browser::Browser(std::string_view startUrl) : state_(std::make_shared<State>()) {
  State& s = *state_;
  s.startUrl = std::string(startUrl);
  // Ephemeral: the browser writes nothing to disk; the process store keeps what lasts.
  s.dataManager.p = webkit_website_data_manager_new_ephemeral();
  s.context.p = webkit_web_context_new_with_website_data_manager(s.dataManager.p);
  s.view.p = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new_with_context(s.context.p)));
  s.cookies = webkit_website_data_manager_get_cookie_manager(s.dataManager.p);
  webkit_cookie_manager_set_accept_policy(s.cookies, WEBKIT_COOKIE_POLICY_ACCEPT_ALWAYS);

  std::weak_ptr<State> weak = state_;
  s.observerId = inet::AddCookieObserver(
      [weak](const SoupCookie* oldCookie, const SoupCookie* newCookie, inet::CookieOrigin origin) {
        if (origin == inet::CookieOrigin::kBrowser) return;
        auto* change = new StoreChange{weak, oldCookie != nullptr ? CopyCookie(oldCookie) : nullptr,
                                       newCookie != nullptr ? CopyCookie(newCookie) : nullptr};
        g_main_context_invoke_full(nullptr, G_PRIORITY_DEFAULT, DeliverStoreChange, change,
                                   FreeStoreChange);
      });
  s.changedHandler =
      g_signal_connect(s.cookies, "changed", G_CALLBACK(OnBrowserCookiesChanged), &s);

  // What the store already holds (cookies kept from earlier runs) goes in before the page
  // opens, so the first request of the page carries it.
  GSList* all = soup_cookie_jar_all_cookies(inet::ProcessCookieJar());
  s.startPushesPending = 1;
  for (GSList* l = all; l != nullptr; l = l->next) {
    auto* c = static_cast<SoupCookie*>(l->data);
    s.known[KeyOf(c)] = CopyCookie(c);
    ++s.startPushesPending;
    webkit_cookie_manager_add_cookie(s.cookies, c, s.cancellable.p, OnStartPushDone,
                                     new StartPushCall{weak});
  }
  g_slist_free_full(all, reinterpret_cast<GDestroyNotify>(soup_cookie_free));
  s.StartPushDone();
}

Browser::~Browser() {
  inet::RemoveCookieObserver(state_->observerId);
  g_signal_handler_disconnect(state_->cookies, state_->changedHandler);
  g_cancellable_cancel(state_->cancellable.p);
}

void* Browser::Widget() const { return state_->view.p; }

bool Browser::SyncCookiesToStore(int timeoutMs) {
  State& s = *state_;
  s.RequestSnapshot();
  const std::uint64_t wanted = s.snapshotsRequested;
  const gint64 deadline = g_get_monotonic_time() + gint64{timeoutMs} * 1000;
  bool timedOut = false;
  guint timer = g_timeout_add(static_cast<guint>(timeoutMs > 0 ? timeoutMs : 0),
                              [](gpointer flag) -> gboolean {
                                *static_cast<bool*>(flag) = true;
                                return G_SOURCE_REMOVE;
                              },
                              &timedOut);
  while (s.snapshotsApplied < wanted && !timedOut && g_get_monotonic_time() < deadline)
    g_main_context_iteration(nullptr, TRUE);
  if (!timedOut) g_source_remove(timer);
  return s.snapshotsApplied >= wanted;
}

}  // namespace tessaro::platform
