// The URL helpers cut a URL apart with plain text operations. They know one scheme,
// "http://"; anything else is taken for a bare host and path, scheme included.
#include <cstdint>

#include "http/http_class.h"

namespace tessaro::http {

namespace {

constexpr std::string_view kScheme = "http://";

// The first seven bytes, lowered, equal "http://".
bool HasScheme(const TextValue& url) { return ToLowerCase(TextLeft(url, 7)) == kScheme; }

TextValue WithScheme(const TextValue& url) {
  return HasScheme(url) ? url : ConcatText(kScheme, url);
}

// The host part with any port, before the port is cut off and before lower-casing.
TextValue HostAndPort(const TextValue& url) {
  if (!HasScheme(url)) {
    const std::int32_t a = FindText(url, "/", 0, true);
    return a <= 0 ? url : TextLeft(url, a - 1);
  }
  const std::int32_t a = FindText(url, "/", 8, true);
  return a <= 0 ? ReplaceTextAt(url, 1, 7) : TextMid(url, 8, a - 8);
}

}  // namespace

TextValue GetRootUrl(HTTP类& /*self*/, const TextValue& url) {
  const TextValue u = WithScheme(url);
  const std::int32_t a = FindText(u, "/", 8, true);
  return a == -1 ? u : TextLeft(u, a - 1);
}

TextValue GetDirectoryUrl(HTTP类& /*self*/, const TextValue& url) {
  const TextValue u = WithScheme(url);
  const std::int32_t a = FindTextReverse(u, "/", 0, true);
  if (a < 8) return ConcatText(u, "/");
  if (FindText(u, ".", a, true) != -1) return TextLeft(u, a);
  if (a == TextLength(u)) return u;
  return ConcatText(u, "/");
}

TextValue GetFileNameFromUrl(HTTP类& /*self*/, const TextValue& url) {
  const std::int32_t a = FindTextReverse(url, "/", 0, true);
  const std::int32_t d = FindTextReverse(url, ".", 0, true);
  if (a > d) return {};
  return TextRight(url, TextLength(url) - a);
}

TextValue GetHost(HTTP类& /*self*/, const TextValue& url) {
  TextValue h = HostAndPort(url);
  const std::int32_t c = FindText(h, ":", 0, true);
  if (c > 0) h = TextLeft(h, c - 1);
  return ToLowerCase(h);
}

std::int32_t GetPort(HTTP类& /*self*/, const TextValue& url) {
  const TextValue h = HostAndPort(url);
  const std::int32_t c = FindText(h, ":", 0, true);
  const TextValue portText = c > 0 ? TextRight(h, TextLength(h) - c) : TextValue("80");
  const double port = ToNumber(portText);
  // Truncated toward zero to 32 bits. A value outside the range has no 32-bit form; it
  // gives the integer-indefinite value that the processor's own conversion gives.
  if (!(port > -2147483649.0 && port < 2147483648.0)) return INT32_MIN;
  return static_cast<std::int32_t>(port);
}

TextValue GetPath(HTTP类& self, const TextValue& url) {
  const TextValue host = self.Table().GetHost(self, url);
  const std::int32_t a = FindText(url, host, 1, true);
  const std::int32_t b = FindText(url, "/", a == -1 ? 1 : a, true);
  if (b <= 0) return "/";
  return TextRight(url, TextLength(url) - b + 1);
}

}  // namespace tessaro::http
