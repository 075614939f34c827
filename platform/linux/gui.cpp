// The message box, the event pump and the default browser on GTK 3.
//
// GTK is not thread-safe: everything here runs GTK only on the GUI thread, the thread that
// initialised it. Elsewhere the message box falls back to standard error and the pump does
// nothing.
#include <gio/gio.h>
#include <gtk/gtk.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/sys.h"

namespace tessaro::platform {
namespace {

std::mutex g_guiMutex;
bool g_guiReady = false;  // guarded by g_guiMutex
std::thread::id g_guiThread;

bool OnMainThread() { return syscall(SYS_gettid) == getpid(); }

bool IsGuiThread() {
  std::lock_guard lock(g_guiMutex);
  if (g_guiReady) return std::this_thread::get_id() == g_guiThread;
  // GTK initialised by the application itself, on the main thread as GTK expects.
  if (OnMainThread() && gdk_display_get_default() != nullptr) {
    g_guiReady = true;
    g_guiThread = std::this_thread::get_id();
    return true;
  }
  return false;
}

// The GUI thread, or the main thread when nobody has initialised GTK yet: a message box
// shown before start-up has done it (the fatal value error, a tool) still gets a window.
bool EnsureGui() {
  if (IsGuiThread()) return true;
  {
    std::lock_guard lock(g_guiMutex);
    if (g_guiReady || !OnMainThread()) return false;
  }
  return InitGui();
}

struct ButtonSpec {
  const char* label;
  int result;
};

std::vector<ButtonSpec> ButtonsFor(std::uint32_t flags) {
  switch (flags & 0x0F) {
    case 1: return {{"_OK", 0}, {"_Cancel", 1}};
    case 2: return {{"_Abort", 2}, {"_Retry", 3}, {"_Ignore", 4}};
    case 3: return {{"_Yes", 5}, {"_No", 6}, {"_Cancel", 1}};
    case 4: return {{"_Yes", 5}, {"_No", 6}};
    case 5: return {{"_Retry", 3}, {"_Cancel", 1}};
    case 6: return {{"_Cancel", 1}, {"_Try Again", 9}, {"_Continue", 10}};
    default: return {{"_OK", 0}};
  }
}

GtkMessageType IconFor(std::uint32_t flags) {
  switch (flags & 0xF0) {
    case 0x10: return GTK_MESSAGE_ERROR;
    case 0x20: return GTK_MESSAGE_QUESTION;
    case 0x30: return GTK_MESSAGE_WARNING;
    case 0x40: return GTK_MESSAGE_INFO;
    default: return GTK_MESSAGE_OTHER;
  }
}

}  // namespace

bool InitGui() {
  std::lock_guard lock(g_guiMutex);
  if (g_guiReady) return std::this_thread::get_id() == g_guiThread;
  if (!gtk_init_check(nullptr, nullptr)) return false;
  g_guiReady = true;
  g_guiThread = std::this_thread::get_id();
  return true;
}

int ShowMessageBox(std::string_view textUtf8, std::string_view captionUtf8, std::uint32_t flags) {
  std::string text(textUtf8), caption(captionUtf8);
  if (!EnsureGui()) {
    std::fprintf(stderr, "[%s] %s\n", caption.c_str(), text.c_str());
    std::fflush(stderr);
    return 0;
  }
  GtkWidget* dialog = gtk_message_dialog_new(nullptr, GTK_DIALOG_MODAL, IconFor(flags),
                                             GTK_BUTTONS_NONE, "%s", text.c_str());
  gtk_window_set_title(GTK_WINDOW(dialog), caption.c_str());
  if ((flags & 0x1000) != 0) gtk_window_set_keep_above(GTK_WINDOW(dialog), TRUE);
  std::vector<ButtonSpec> buttons = ButtonsFor(flags);
  for (std::size_t i = 0; i < buttons.size(); ++i) {
    gtk_dialog_add_button(GTK_DIALOG(dialog), buttons[i].label, static_cast<gint>(i));
  }
  // MB_DEFBUTTON2/3 pick the default button.
  auto defaultIndex = static_cast<std::size_t>((flags >> 8) & 0x0F);
  if (defaultIndex < buttons.size()) {
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), static_cast<gint>(defaultIndex));
  }
  // Closing the window counts as Cancel where there is one, as OK for a lone OK button; a
  // box with neither cannot be closed that way, as on Windows.
  int closeResult = -1;
  for (const ButtonSpec& b : buttons) {
    if (b.result == 1) closeResult = 1;
  }
  if (closeResult < 0 && buttons.size() == 1) closeResult = 0;
  if (closeResult < 0) gtk_window_set_deletable(GTK_WINDOW(dialog), FALSE);
  int result = -1;
  while (result < 0) {
    gint response = gtk_dialog_run(GTK_DIALOG(dialog));
    if (response >= 0 && static_cast<std::size_t>(response) < buttons.size()) {
      result = buttons[static_cast<std::size_t>(response)].result;
    } else if (closeResult >= 0) {
      result = closeResult;
    } else if (response != GTK_RESPONSE_DELETE_EVENT) {
      result = buttons.front().result;  // the dialog went away without an answer
    }
  }
  gtk_widget_destroy(dialog);
  // Let the close take effect before the caller goes on working.
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
  return result;
}

void ProcessPendingEvents() {
  if (!IsGuiThread()) return;
  while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

bool OpenInDefaultBrowser(std::string_view url) {
  std::string u(url);
  GError* error = nullptr;
  gboolean ok = g_app_info_launch_default_for_uri(u.c_str(), nullptr, &error);
  if (error != nullptr) g_error_free(error);
  return ok != FALSE;
}

}  // namespace tessaro::platform
