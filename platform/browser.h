// The embedded web browser. Its cookies and the process cookie store are kept in step both
// ways: a login in the page reaches every request of the process, and cookies the process
// sets or deletes reach the page. Plain C++; the Linux backend (WebKitGTK) is in linux/.
// Everything here runs on the GUI thread.
#pragma once

#include <memory>
#include <string_view>

namespace tessaro::platform {

class Browser {
 public:
  // Creates the browser and lets it open startUrl by itself once the cookies of the process
  // store are in it. The GUI must have been initialised.
  explicit Browser(std::string_view startUrl);
  ~Browser();
  Browser(const Browser&) = delete;
  Browser& operator=(const Browser&) = delete;

  // The toolkit widget (a GtkWidget*). The browser keeps its own reference, so the widget
  // outlives a container that is destroyed first.
  void* Widget() const;

  // Runs the GUI's pending work until every cookie the browser holds at the time of the
  // call is in the process store, at most timeoutMs. False when the time ran out.
  bool SyncCookiesToStore(int timeoutMs);

  struct State;

 private:
  std::shared_ptr<State> state_;
};

}  // namespace tessaro::platform
