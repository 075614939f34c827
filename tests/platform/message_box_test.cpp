// The message box as a real GTK dialog, on a private X server.
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "values/services.h"

extern char** environ;

namespace tessaro {
namespace {

// A private X server for the dialog test, on a display number the server picks.
struct XServer {
  pid_t pid = -1;
  std::string display;
  XServer() {
    int fds[2];
    if (pipe(fds) != 0) return;
    std::string fd = std::to_string(fds[1]);
    const char* argv[] = {"Xvfb", "-displayfd", fd.c_str(), "-nolisten", "tcp",
                          "-screen", "0", "640x480x24", nullptr};
    if (posix_spawnp(&pid, "Xvfb", nullptr, nullptr, const_cast<char**>(argv), environ) != 0) {
      pid = -1;
    }
    close(fds[1]);
    // The server writes its number and a newline once it accepts clients.
    std::string number;
    char c = 0;
    while (pid > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (c == '\n' && !number.empty()) display = ":" + number;
  }
  ~XServer() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    int status = 0;
    waitpid(pid, &status, 0);
  }
};

// What the dialog showed, and how the test answers it.
struct BoxCase {
  std::int32_t flags;
  const char* press;  // a button label, or null to close the window
  std::int32_t result;
  GtkMessageType icon;
};
const BoxCase* g_box = nullptr;
GtkMessageType g_seenIcon = GTK_MESSAGE_OTHER;
std::string g_seenTitle;

gboolean AnswerBox(gpointer) {
  GList* windows = gtk_window_list_toplevels();
  for (GList* w = windows; w != nullptr; w = w->next) {
    if (!GTK_IS_MESSAGE_DIALOG(w->data) || !gtk_widget_get_visible(GTK_WIDGET(w->data))) continue;
    GtkDialog* dialog = GTK_DIALOG(w->data);
    g_object_get(dialog, "message-type", &g_seenIcon, nullptr);
    g_seenTitle = gtk_window_get_title(GTK_WINDOW(dialog));
    if (g_box->press == nullptr) {
      gtk_window_close(GTK_WINDOW(dialog));
    } else {
      for (gint id = 0; id < 8; ++id) {
        GtkWidget* b = gtk_dialog_get_widget_for_response(dialog, id);
        if (b != nullptr && std::string_view(gtk_button_get_label(GTK_BUTTON(b))) == g_box->press) {
          gtk_button_clicked(GTK_BUTTON(b));
        }
      }
    }
  }
  g_list_free(windows);
  return G_SOURCE_CONTINUE;
}

bool ShowBoxes() {
  XServer x;
  if (x.display.empty()) {
    std::fprintf(stderr, "no Xvfb\n");
    return false;
  }
  setenv("DISPLAY", x.display.c_str(), 1);
  setenv("NO_AT_BRIDGE", "1", 1);  // no accessibility bus on a private server
  const BoxCase cases[] = {
      {0, "_OK", 0, GTK_MESSAGE_OTHER},
      {16, nullptr, 0, GTK_MESSAGE_ERROR},  // a lone OK box closed counts as OK
      {1 | 48, nullptr, 1, GTK_MESSAGE_WARNING},  // closed with Cancel there: Cancel
      {4 | 32, "_No", 6, GTK_MESSAGE_QUESTION},
      {3 | 64, "_Yes", 5, GTK_MESSAGE_INFO},
      {2, "_Ignore", 4, GTK_MESSAGE_OTHER},
      {5, "_Retry", 3, GTK_MESSAGE_OTHER},
  };
  g_timeout_add(50, AnswerBox, nullptr);
  bool ok = true;
  for (const BoxCase& c : cases) {
    g_box = &c;
    std::int32_t r = MessageBox(Gbk("文本"), c.flags, Gbk("标题"));
    if (r != c.result || g_seenIcon != c.icon || g_seenTitle != "标题") {
      std::fprintf(stderr, "flags %d: result %d icon %d title %s\n", c.flags, r,
                   static_cast<int>(g_seenIcon), g_seenTitle.c_str());
      ok = false;
    }
  }
  gdk_display_close(gdk_display_get_default());  // before the server goes away
  return ok;
}

TEST(MessageBoxDeathTest, DialogShowsIconAndCaptionAndGivesTheButtonPressed) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The server must be gone before the exit: it holds the death test's pipe.
  auto run = [] { std::exit(ShowBoxes() ? 7 : 1); };
  EXPECT_EXIT(run(), ::testing::ExitedWithCode(7), "");
}

}  // namespace
}  // namespace tessaro
