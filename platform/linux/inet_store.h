// The process cookie store, for the parts of the Linux platform that must reach it directly
// (the embedded browser bridge). Everything else goes through platform/inet.h.
//
// Threads: the store may be changed from any thread (a response's Set-Cookie lines are
// taken on the thread that sent the request; InternetSetCookieA on its caller's thread).
// Observers are called on the thread that made the change, while the jar holds its own
// lock: an observer must not call into the jar or into anything below that uses it (it
// would deadlock). Copy what is needed (soup_cookie_copy) and do the work elsewhere, for
// instance in a g_main_context_invoke on the GUI thread.
#pragma once

#include <libsoup/soup.h>

#include <cstdint>
#include <functional>

namespace tessaro::inet {

// The one cookie jar of the process, created and loaded from the Cookies folder on first
// use, accepting every cookie. Never freed; callers must not unref it.
SoupCookieJar* ProcessCookieJar();

// Where a change came from, so an observer can skip its own echo.
enum class CookieOrigin : std::uint8_t {
  kStore,    // this layer: responses, InternetSetCookieA, loading, ending the session
  kBrowser,  // applied through ApplyBrowserCookieChange
};

// Called once per change: oldCookie set and newCookie null is a removal, the reverse an
// addition, both set a replacement. The cookies are valid for the call only.
using CookieObserver =
    std::function<void(const SoupCookie* oldCookie, const SoupCookie* newCookie, CookieOrigin)>;

// Returns a nonzero id for RemoveCookieObserver. Thread-safe.
std::uint64_t AddCookieObserver(CookieObserver observer);
// After it returns, the observer is not called again (a call running on another thread
// may still be finishing). Thread-safe.
void RemoveCookieObserver(std::uint64_t id);

// Applies a cookie the browser added or changed (add = true) or removed (add = false).
// Observers see it with CookieOrigin::kBrowser, so the bridge can skip pushing it back.
// The cookie is copied; the caller keeps its own.
void ApplyBrowserCookieChange(const SoupCookie* cookie, bool add);

// Writes the cookie files of hosts whose persistent cookies changed. Changes are also
// written when a request finishes its headers, when an Internet handle closes and at exit;
// this is for callers that changed the store outside those paths. False when a file could
// not be written (the failure is logged too).
bool FlushCookieFiles();

}  // namespace tessaro::inet
