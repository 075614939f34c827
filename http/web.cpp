// Web access: one complete HTTP exchange per call, on the calling thread.
#include "http/web.h"

#include "platform/inet.h"
#include "values/services.h"

namespace tessaro::http {
namespace {

constexpr const char* kUserAgent = "Mozilla/4.0 (compatible; MSIE 6.0; Windows NT 5.0)";
constexpr std::int32_t kReadChunk = 512;
constexpr std::uint32_t kHeaderBuffer = 1024;  // the terminating zero included
constexpr std::string_view kCookieMarker = "Set-Cookie: ";

// A computed text reaches the platform as none when it is empty, as the class's callers
// expect; an empty literal is passed as "" by the call sites themselves.
const char* TextArg(const TextValue& t) {
  return t.empty() ? nullptr : t.c_str();
}

// Adds a default header line unless the caller's headers already name it anywhere.
void AddDefault(TextValue& headers, std::string_view name, std::string_view line) {
  if (FindText(headers, name, 1, true) == -1) headers += line;
}

// The URL as a header value. A CR or LF in it would end the Referer line and start another
// header line of the URL's making, and other control bytes are not allowed in a header
// value; those bytes go percent-encoded. Every other byte stays as it is.
TextValue HeaderSafeUrl(const TextValue& url) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  TextValue out;
  out.reserve(url.size());
  for (char ch : url) {
    auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 0x0F];
    } else {
      out += ch;
    }
  }
  return out;
}

// Copies the Set-Cookie lines of a raw header block into the store for "http://" + host,
// in header order: the name is what precedes the first "=", the data everything after it,
// attributes included.
void CopyCookies(const TextValue& rawHeaders, const TextValue& host) {
  TextValue cookieUrl = ConcatText("http://", host);
  std::string_view rest = rawHeaders;
  while (!rest.empty()) {
    std::size_t lf = rest.find('\n');
    std::string_view line = rest.substr(0, lf);
    rest = lf == std::string_view::npos ? std::string_view() : rest.substr(lf + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    // Only a line that is a Set-Cookie header counts; the marker inside another header's
    // value is that header's text, and must not turn into a cookie.
    if (FindText(line, kCookieMarker, 1, true) == 1) {
      TextValue cookie = ReplaceTextAt(line, 1, TextLength(kCookieMarker));
      std::int32_t p = FindText(cookie, "=");
      TextValue name = TextLeft(cookie, p - 1);
      TextValue data = TextRight(cookie, TextLength(cookie) - p);
      // An empty value ("id=") is a value: passed as none it would be refused and the
      // store would keep sending the old one.
      inet::InternetSetCookieA(TextArg(cookieUrl), TextArg(name), data.c_str());
    }
    ProcessEvents();
  }
}

}  // namespace

ByteSet WebAccessFailure() {
  return ZeroBytes(255);
}

ByteSet WebAccess(HTTP类& self, const TextValue& url, const TextValue& verb, const TextValue& proxy,
                  TextValue& headers, const TextValue& postData) {
  const HttpMethodTable& table = self.Table();
  ByteSet body;
  TextValue host = table.GetHost(self, url);
  TextValue path = table.GetPath(self, url);

  inet::Handle internet;
  if (RemoveAllSpaces(proxy).empty()) {
    internet = inet::InternetOpenA(kUserAgent, inet::kOpenTypeDirect, "", "", 0);
  } else {
    TextValue proxyList = ConcatText("http=", proxy);
    internet = inet::InternetOpenA(kUserAgent, inet::kOpenTypeProxy, TextArg(proxyList), "", 0);
  }
  if (internet == 0) return WebAccessFailure();

  std::int32_t port = table.GetPort(self, url);
  inet::Handle connection = inet::InternetConnectA(
      internet, TextArg(host), static_cast<std::uint32_t>(port), "", "", inet::kServiceHttp, 0, 0);
  if (connection == 0) {
    inet::InternetCloseHandle(internet);
    return WebAccessFailure();
  }

  inet::Handle request = inet::HttpOpenRequestA(connection, TextArg(verb), TextArg(path),
                                                "HTTP/1.1", nullptr, nullptr, inet::kFlagReload, 0);
  if (request == 0) {
    inet::InternetCloseHandle(connection);
    inet::InternetCloseHandle(internet);
    return WebAccessFailure();
  }

  AddDefault(headers, "Accept: ",
             "Accept: image/gif, image/x-xbitmap, image/jpeg, image/pjpeg, "
             "application/x-shockwave-flash, application/vnd.ms-excel, "
             "application/vnd.ms-powerpoint, application/msword, */*\r\n");
  AddDefault(headers, "Referer: ", ConcatText("Referer: ", HeaderSafeUrl(url), "\r\n"));
  AddDefault(headers, "Accept-Language: ", "Accept-Language: zh-cn\r\n");

  if (verb.empty() || TextEquals(verb, "GET")) {
    inet::HttpSendRequestA(request, TextArg(headers),
                           static_cast<std::uint32_t>(TextLength(headers)), "", 0);
  } else if (TextEquals(verb, "POST")) {
    if (!postData.empty()) {
      headers += "Content-Type: application/x-www-form-urlencoded\r\n";
      headers += ConcatText("Content-Length: ", ToText(TextLength(postData)), "\r\n");
    }
    inet::HttpSendRequestA(request, TextArg(headers),
                           static_cast<std::uint32_t>(TextLength(headers)), TextArg(postData),
                           static_cast<std::uint32_t>(TextLength(postData)));
  } else {
    inet::InternetCloseHandle(request);
    inet::InternetCloseHandle(connection);
    inet::InternetCloseHandle(internet);
    return WebAccessFailure();
  }

  // The platform stores 0 bytes read at the end of the data and when a read fails.
  for (;;) {
    ByteSet buffer = ZeroBytes(kReadChunk);
    std::uint32_t read = 0;
    ProcessEvents();
    inet::InternetReadFile(request, buffer.data(), static_cast<std::uint32_t>(kReadChunk), &read);
    if (read == 0) break;
    body.bytes().append(buffer.data(), read);
  }

  // A header block that does not fit leaves the text all spaces: no cookie is copied.
  TextValue rawHeaders = SpaceText(static_cast<std::int32_t>(kHeaderBuffer));
  std::uint32_t length = kHeaderBuffer;
  inet::HttpQueryInfoText(request, inet::kQueryRawHeadersCrlf, rawHeaders.data(), &length, 0);
  rawHeaders.resize(std::char_traits<char>::length(rawHeaders.c_str()));

  inet::InternetCloseHandle(request);
  inet::InternetCloseHandle(connection);
  inet::InternetCloseHandle(internet);

  if (FindText(rawHeaders, kCookieMarker, 1, true) != -1) CopyCookies(rawHeaders, host);
  return body;
}

TextValue GetPageText(HTTP类& self, const TextValue& url) {
  TextValue headers;
  ByteSet body = self.Table().WebAccess(self, url, {}, {}, headers, {});
  return ToText(body);
}

}  // namespace tessaro::http
