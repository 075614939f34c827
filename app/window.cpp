#include "app/window.h"

#include <gtk/gtk.h>

#include "app/code_list.h"
#include "platform/browser.h"
#include "values/services.h"

namespace tessaro::app {

namespace {

// Outer size of the window, frame included.
constexpr int kOuterWidth = 751;
constexpr int kOuterHeight = 456;

constexpr char kStyle[] =
    ".usage { font-size: 8pt; }"
    ".usage:hover { color: #1a5fb4; }";

GdkPixbuf* LoadIcon() {
  return gdk_pixbuf_new_from_resource("/org/tessaro/app/tessaro.png", nullptr);
}

}  // namespace

struct MainWindow::Widgets {
  Handlers handlers;
  GtkWidget* 窗口 = nullptr;
  GtkWidget* fixed = nullptr;
  std::unique_ptr<platform::Browser> 超文本浏览框1;
  GtkWidget* 标签1 = nullptr;  // an event box around the label, which has no window
  GtkWidget* 按钮2 = nullptr;
  // "时钟1": its interval is 0, so it never fires; it is never started and has no widget.
  static constexpr unsigned 时钟1Interval = 0;
  bool busy = false;
  bool closing = false;
  bool frameFitted = false;
};

namespace {

using Widgets = MainWindow::Widgets;

gboolean OnDelete(GtkWidget* window, GdkEvent*, gpointer data) {
  auto* w = static_cast<Widgets*>(data);
  if (!w->busy) return FALSE;  // destroyed now
  // A run is in flight: it ends after its current request and then destroys the window.
  w->closing = true;
  gtk_widget_hide(window);
  return TRUE;
}

void OnDestroy(GtkWidget*, gpointer data) {
  auto* w = static_cast<Widgets*>(data);
  w->窗口 = nullptr;
  w->按钮2 = nullptr;
  w->标签1 = nullptr;
  w->closing = true;
  if (gtk_main_level() > 0) gtk_main_quit();
}

void OnRealize(GtkWidget* window, gpointer) {
  // Fixed border, title bar with the window menu and minimize, no maximize.
  GdkWindow* gdk = gtk_widget_get_window(window);
  gdk_window_set_functions(gdk, static_cast<GdkWMFunction>(GDK_FUNC_MOVE | GDK_FUNC_MINIMIZE |
                                                           GDK_FUNC_CLOSE));
  gdk_window_set_decorations(gdk, static_cast<GdkWMDecoration>(GDK_DECOR_BORDER |
                                                               GDK_DECOR_TITLE | GDK_DECOR_MENU |
                                                               GDK_DECOR_MINIMIZE));
}

// The size is that of the whole window, frame included. Once the window manager has framed
// the window, the client area is shrunk by the frame and the window centred again.
gboolean OnConfigure(GtkWidget* window, GdkEventConfigure*, gpointer data) {
  auto* w = static_cast<Widgets*>(data);
  if (w->frameFitted) return FALSE;
  GdkWindow* gdk = gtk_widget_get_window(window);
  GdkRectangle outer;
  gdk_window_get_frame_extents(gdk, &outer);
  const int frameW = outer.width - gdk_window_get_width(gdk);
  const int frameH = outer.height - gdk_window_get_height(gdk);
  if (frameW <= 0 && frameH <= 0) return FALSE;  // not framed (yet)
  w->frameFitted = true;
  gtk_widget_set_size_request(w->fixed, kOuterWidth - frameW, kOuterHeight - frameH);
  GdkRectangle area;
  gdk_monitor_get_geometry(gdk_display_get_monitor_at_window(gdk_window_get_display(gdk), gdk),
                           &area);
  gtk_window_move(GTK_WINDOW(window), area.x + (area.width - kOuterWidth) / 2,
                  area.y + (area.height - kOuterHeight) / 2);
  return FALSE;
}

void OnClicked(GtkButton*, gpointer data) {
  auto* w = static_cast<Widgets*>(data);
  if (w->handlers.buttonClicked) w->handlers.buttonClicked();
}

gboolean OnLabelPress(GtkWidget*, GdkEventButton* event, gpointer data) {
  auto* w = static_cast<Widgets*>(data);
  if (event->type == GDK_BUTTON_PRESS && event->button == GDK_BUTTON_PRIMARY &&
      w->handlers.labelPressed)
    w->handlers.labelPressed();
  return TRUE;
}

void Place(GtkWidget* fixed, GtkWidget* child, int x, int y, int width, int height) {
  gtk_widget_set_size_request(child, width, height);
  gtk_fixed_put(GTK_FIXED(fixed), child, x, y);
}

}  // namespace

MainWindow::MainWindow(const Options& options, Handlers handlers)
    : w_(std::make_unique<Widgets>()) {
  w_->handlers = std::move(handlers);

  if (GdkPixbuf* icon = LoadIcon()) {
    gtk_window_set_default_icon(icon);
    g_object_unref(icon);
  }
  GtkCssProvider* css = gtk_css_provider_new();
  gtk_css_provider_load_from_data(css, kStyle, -1, nullptr);
  gtk_style_context_add_provider_for_screen(gdk_screen_get_default(), GTK_STYLE_PROVIDER(css),
                                            GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
  g_object_unref(css);

  GtkWidget* window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
  w_->窗口 = window;
  gtk_widget_set_name(window, "窗口");
  gtk_window_set_title(GTK_WINDOW(window), "");  // the created handler writes the caption
  gtk_window_set_resizable(GTK_WINDOW(window), FALSE);
  gtk_window_set_position(GTK_WINDOW(window), GTK_WIN_POS_CENTER);
  g_signal_connect(window, "delete-event", G_CALLBACK(OnDelete), w_.get());
  g_signal_connect(window, "destroy", G_CALLBACK(OnDestroy), w_.get());
  g_signal_connect(window, "realize", G_CALLBACK(OnRealize), w_.get());
  g_signal_connect(window, "configure-event", G_CALLBACK(OnConfigure), w_.get());

  w_->fixed = gtk_fixed_new();
  gtk_widget_set_size_request(w_->fixed, kOuterWidth, kOuterHeight);
  gtk_container_add(GTK_CONTAINER(window), w_->fixed);

  w_->超文本浏览框1 = std::make_unique<platform::Browser>(options.pageUrl);
  auto* browser = static_cast<GtkWidget*>(w_->超文本浏览框1->Widget());
  gtk_widget_set_name(browser, "超文本浏览框1");
  Place(w_->fixed, browser, 16, 0, 720, 384);

  GtkWidget* label = gtk_label_new(ToUtf8(UsageText()).c_str());
  gtk_widget_set_name(label, "标签1");
  gtk_style_context_add_class(gtk_widget_get_style_context(label), "usage");
  gtk_label_set_line_wrap(GTK_LABEL(label), TRUE);
  gtk_label_set_line_wrap_mode(GTK_LABEL(label), PANGO_WRAP_WORD_CHAR);
  gtk_label_set_xalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_yalign(GTK_LABEL(label), 0.0f);
  gtk_label_set_max_width_chars(GTK_LABEL(label), 1);  // the box's width decides the wrapping
  GtkWidget* labelBox = gtk_event_box_new();
  gtk_container_add(GTK_CONTAINER(labelBox), label);
  g_signal_connect(labelBox, "button-press-event", G_CALLBACK(OnLabelPress), w_.get());
  // A fixed box of its own size: the text wraps at its width and is cut at its height,
  // whatever its length.
  GtkWidget* clip = gtk_scrolled_window_new(nullptr, nullptr);
  gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(clip), GTK_POLICY_EXTERNAL,
                                 GTK_POLICY_EXTERNAL);
  gtk_container_add(GTK_CONTAINER(clip), labelBox);
  w_->标签1 = labelBox;
  Place(w_->fixed, clip, 88, 388, 648, 39);

  GtkWidget* button = gtk_button_new_with_label(ToUtf8(Gbk("兑换")).c_str());
  gtk_widget_set_name(button, "按钮2");
  g_signal_connect(button, "clicked", G_CALLBACK(OnClicked), w_.get());
  w_->按钮2 = button;
  Place(w_->fixed, button, 8, 392, 72, 28);
}

MainWindow::~MainWindow() { Destroy(); }

void MainWindow::Show() {
  if (w_->窗口 != nullptr) gtk_widget_show_all(w_->窗口);
}

void MainWindow::SetCaption(const TextValue& caption) {
  if (w_->窗口 == nullptr) return;
  gtk_window_set_title(GTK_WINDOW(w_->窗口), ToUtf8(caption).c_str());
  // The request that follows blocks until its answer has come; the caption must be out
  // before it.
  gdk_display_flush(gtk_widget_get_display(w_->窗口));
}

void MainWindow::SetButtonEnabled(bool enabled) {
  if (w_->按钮2 != nullptr) gtk_widget_set_sensitive(w_->按钮2, enabled);
}

void MainWindow::ShowFinished(const TextValue& text) { MessageBox(text, 0); }

bool MainWindow::Closing() const { return w_->closing; }

void MainWindow::SetBusy(bool busy) { w_->busy = busy; }

bool MainWindow::SyncBrowserCookies(int timeoutMs) {
  return w_->超文本浏览框1->SyncCookiesToStore(timeoutMs);
}

void MainWindow::Destroy() {
  if (w_->窗口 != nullptr) gtk_widget_destroy(w_->窗口);
}

}  // namespace tessaro::app
