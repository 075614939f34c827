// The main window "窗口" with its controls, on GTK 3. Texts arrive as GBK values and reach
// GTK as UTF-8. Everything here runs on the GUI thread.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "app/options.h"
#include "app/run.h"
#include "values/values.h"

namespace tessaro::app {

class MainWindow : public RunView {
 public:
  struct Handlers {
    std::function<void()> buttonClicked;  // "按钮2"
    std::function<void()> labelPressed;   // "标签1", left button pressed
  };

  MainWindow(const Options& options, Handlers handlers);
  ~MainWindow() override;
  MainWindow(const MainWindow&) = delete;
  MainWindow& operator=(const MainWindow&) = delete;

  void Show();

  // RunView
  void SetCaption(const TextValue& caption) override;
  void SetButtonEnabled(bool enabled) override;
  void ShowFinished(const TextValue& text) override;
  bool Closing() const override;

  // While busy, closing the window only hides it and marks it closing; the owner destroys
  // it with Destroy() when the work is over.
  void SetBusy(bool busy);
  // Waits, bounded, until the browser's latest cookies are in the process store.
  bool SyncBrowserCookies(int timeoutMs);
  // Destroys the window; the GUI loop ends.
  void Destroy();

  struct Widgets;

 private:
  std::unique_ptr<Widgets> w_;
};

}  // namespace tessaro::app
