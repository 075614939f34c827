// Cookie operations on the process's cookie store.
//
// Every setting or deletion is made twice: once for the host alone and once with a domain
// attribute (the host, or for "www." hosts the parent domain with a leading dot), so that
// it reaches both a host cookie and a domain cookie of that name.
#include "http/cookies.h"

#include "platform/inet.h"

namespace tessaro::http {
namespace {

constexpr std::int32_t kCookieBuffer = 256;

const char* TextArg(const TextValue& t) {
  return t.empty() ? nullptr : t.c_str();
}

DateTimeValue DeletionDate() {
  return MakeDateTime(1999, 1, 1, 1, 1, 1);
}

// "www.srv" gives ".srv"; any other host is its own domain.
TextValue CookieDomain(const TextValue& host) {
  if (TextEquals(ToLowerCase(TextLeft(host, 4)), "www.")) return ReplaceTextAt(host, 1, 3);
  return host;
}

}  // namespace

TextValue FormatCookieDate(HTTP类& /*self*/, DateTimeValue dateTime) {
  static constexpr const char* kDays[] = {"Sun, ", "Mon, ", "Tue, ", "Wed, ",
                                          "Thu, ", "Fri, ", "Sat, "};
  static constexpr const char* kMonths[] = {"Jan-", "Feb-", "Mar-", "Apr-", "May-", "Jun-",
                                            "Jul-", "Aug-", "Sep-", "Oct-", "Nov-", "Dec-"};
  std::int32_t weekday = DayOfWeekOf(dateTime);
  std::int32_t month = MonthOf(dateTime);
  TextValue out;
  if (weekday >= 1 && weekday <= 7) out += kDays[weekday - 1];
  out += ToText(DayOf(dateTime));
  out += "-";
  if (month >= 1 && month <= 12) out += kMonths[month - 1];
  out += ConcatText(ToText(YearOf(dateTime)), " ", ToText(HourOf(dateTime)), ":",
                    ToText(MinuteOf(dateTime)), ":", ToText(SecondOf(dateTime)), " GMT");
  return out;
}

TextValue GetCookie(HTTP类& self, const TextValue& url, const TextValue& name) {
  TextValue host = self.Table().GetHost(self, url);
  TextValue storeUrl = ConcatText("http://", host);
  TextValue buffer = SpaceText(kCookieBuffer);
  std::uint32_t size = kCookieBuffer - 1;
  std::uint32_t ok = inet::InternetGetCookieA(TextArg(storeUrl), "", buffer.data(), &size);
  // A cookie text longer than the buffer is read again into a buffer of the size the store
  // asked for: an empty answer for a host with many cookies would make the deletion loops
  // report success while every cookie stays.
  if (!ok && size >= static_cast<std::uint32_t>(kCookieBuffer)) {
    buffer = SpaceText(static_cast<std::int32_t>(size) + 1);
    ok = inet::InternetGetCookieA(TextArg(storeUrl), "", buffer.data(), &size);
  }
  if (!ok) return {};
  TextValue text(buffer.c_str());  // up to the first zero byte
  if (name.empty()) return text;
  std::int32_t c = FindText(text, name, 1, true);
  if (c == -1) return {};
  std::int32_t d = FindText(text, ";", c);
  std::int32_t n = TextLength(name);
  if (d > 0) return TextMid(text, c + n + 1, d - c - n - 1);
  return TextRight(text, TextLength(text) - c - n);
}

bool SetCookie(HTTP类& self, const TextValue& url, const TextValue& name, TextValue& value,
               DateTimeValue expiry) {
  const HttpMethodTable& table = self.Table();
  TextValue host = table.GetHost(self, url);
  TextValue storeUrl = ConcatText("http://", host);

  if (name.empty()) {
    // Delete every cookie of the host, the first of the cookie text each time.
    TextValue c = table.GetCookie(self, storeUrl, {});
    std::int32_t d = FindText(c, "=", 1);
    if (c.empty() || d <= 0) return true;
    TextValue first = TextLeft(c, d - 1);
    TextValue unused;
    table.SetCookie(self, storeUrl, first, unused, {});
    // A cookie the deletion cannot reach (held for a wider domain than the host's) would
    // come first again for ever: stop, and report that cookies remain.
    if (table.GetCookie(self, storeUrl, {}) == c) return false;
    return table.SetCookie(self, storeUrl, {}, unused, {});
  }

  if (value.empty()) {
    value = "delete";
    expiry = DeletionDate();
  }
  DateTimeValue zero = MakeDateTime(1899, 12, 30, 0, 0, 0);
  if (ClampDateTime(expiry.days) != ClampDateTime(zero.days))
    value = ConcatText(value, "; expires=", table.FormatCookieDate(self, expiry));
  value += "; path=/";
  inet::InternetSetCookieA(TextArg(storeUrl), TextArg(name), TextArg(value));
  value = ConcatText(value, "; domain=", CookieDomain(host));
  return inet::InternetSetCookieA(TextArg(storeUrl), TextArg(name), TextArg(value)) != 0;
}

bool ClearCookies(HTTP类& self, const TextValue& host) {
  const HttpMethodTable& table = self.Table();
  TextValue storeUrl = ConcatText("http://", host);
  TextValue c = table.GetCookie(self, storeUrl, {});
  TextValue prev = c;
  while (!c.empty()) {
    std::int32_t a = FindText(c, "=", 1);
    if (a <= 0) return true;
    TextValue name = TextLeft(c, a - 1);
    TextValue data =
        ConcatText("delete; expires=", table.FormatCookieDate(self, DeletionDate()), "; path=/");
    inet::InternetSetCookieA(TextArg(storeUrl), TextArg(name), TextArg(data));
    data = ConcatText(data, "; domain=", CookieDomain(host));
    inet::InternetSetCookieA(TextArg(storeUrl), TextArg(name), TextArg(data));
    c = table.GetCookie(self, storeUrl, {});
    if (c == prev) return false;
    prev = c;
  }
  return true;
}

}  // namespace tessaro::http
