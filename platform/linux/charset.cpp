#include "platform/charset.h"

#include <glib.h>

namespace tessaro::platform {

namespace {
constexpr char kReplacement[] = "\xEF\xBF\xBD";

std::optional<std::string> Convert(std::string_view in, const char* to, const char* from) {
  gsize written = 0;
  gchar* out = g_convert(in.data(), static_cast<gssize>(in.size()), to, from, nullptr, &written,
                         nullptr);
  if (!out) return std::nullopt;
  std::string result(out, written);
  g_free(out);
  return result;
}
}  // namespace

std::optional<std::string> Utf8ToGbk(std::string_view utf8) { return Convert(utf8, "GBK", "UTF-8"); }

std::string GbkToUtf8(std::string_view gbk) {
  if (auto whole = Convert(gbk, "UTF-8", "GBK")) return *whole;
  // Something in it is not GBK: convert one character at a time.
  std::string result;
  for (std::size_t i = 0; i < gbk.size();) {
    const std::size_t n = static_cast<unsigned char>(gbk[i]) >= 0x80 && i + 1 < gbk.size() ? 2 : 1;
    if (auto piece = Convert(gbk.substr(i, n), "UTF-8", "GBK")) {
      result += *piece;
    } else {
      result += kReplacement;
    }
    i += n;
  }
  return result;
}

}  // namespace tessaro::platform
