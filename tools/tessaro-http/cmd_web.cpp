// Web access and cookie commands: get, page, cookie-get, cookie-set, cookie-clear,
// cookie-date.
#include <cstdio>

#include "tessaro-http/commands.h"

namespace tessaro::cli {
namespace {

// "YYYY-MM-DD HH:MM:SS" as a date-time, or none.
std::optional<DateTimeValue> ParseDateTime(const std::string& text) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text.c_str(), "%d-%d-%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6)
    return std::nullopt;
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59)
    return std::nullopt;
  return MakeDateTime(y, mo, d, h, mi, s);
}

CommandResult BadDate(const std::string& text) {
  return {{"error: expected YYYY-MM-DD HH:MM:SS, got " + text}, std::nullopt, 64};
}

const std::string& Arg(const std::vector<std::string>& args, std::size_t i) {
  static const std::string empty;
  return i < args.size() ? args[i] : empty;
}

CommandResult RunGet(CommandContext& context, const std::vector<std::string>& args) {
  TextValue headers = Arg(args, 3);
  ByteSet body = context.http.WebAccess(args[0], Arg(args, 1), Arg(args, 2), headers, Arg(args, 4));
  if (context.batch) return {{body.bytes(), headers}, std::nullopt, 0};
  return {{body.bytes()}, body.bytes(), 0};
}

CommandResult RunPage(CommandContext& context, const std::vector<std::string>& args) {
  TextValue text = context.http.GetPageText(args[0]);
  return {{text}, context.batch ? std::nullopt : std::optional<std::string>(text), 0};
}

CommandResult RunCookieGet(CommandContext& context, const std::vector<std::string>& args) {
  return {{context.http.GetCookie(args[0], Arg(args, 1))}, std::nullopt, 0};
}

CommandResult RunCookieSet(CommandContext& context, const std::vector<std::string>& args) {
  DateTimeValue expiry;
  if (args.size() > 3) {
    auto parsed = ParseDateTime(args[3]);
    if (!parsed) return BadDate(args[3]);
    expiry = *parsed;
  }
  TextValue value = Arg(args, 2);
  bool ok = context.http.SetCookie(args[0], args[1], value, expiry);
  return {{ok ? "1" : "0", value}, std::nullopt, 0};
}

CommandResult RunCookieClear(CommandContext& context, const std::vector<std::string>& args) {
  return {{context.http.ClearCookies(args[0]) ? "1" : "0"}, std::nullopt, 0};
}

CommandResult RunCookieDate(CommandContext& context, const std::vector<std::string>& args) {
  auto parsed = ParseDateTime(args[0]);
  if (!parsed) return BadDate(args[0]);
  return {{context.http.FormatCookieDate(*parsed)}, std::nullopt, 0};
}

}  // namespace

void RegisterWebCommands(CommandList& commands) {
  commands.push_back(
      {"get", "URL [VERB [PROXY [HEADERS [POSTDATA]]]]",
       "One HTTP exchange (WebAccess): prints the body as returned, 255 zero bytes when the "
       "request could not be sent; in batch mode also the header text as sent.",
       1, 5, RunGet});
  commands.push_back({"page", "URL", "Prints the page as text (GetPageText).", 1, 1, RunPage});
  commands.push_back({"cookie-get", "URL [NAME]",
                      "Prints the cookie text of the URL's host, or the value of one cookie.", 1, 2,
                      RunCookieGet});
  commands.push_back(
      {"cookie-set", "URL NAME [VALUE [EXPIRY]]",
       "Stores a cookie for the URL's host (no VALUE deletes it, an empty NAME deletes all); "
       "EXPIRY as YYYY-MM-DD HH:MM:SS. Prints 1 or 0, then the cookie data stored.",
       2, 4, RunCookieSet});
  commands.push_back({"cookie-clear", "HOST",
                      "Deletes every cookie of HOST; prints 1, or 0 when one would not go.", 1, 1,
                      RunCookieClear});
  commands.push_back({"cookie-date", "YYYY-MM-DD HH:MM:SS",
                      "Prints the date-time in the form of a cookie's expires attribute.", 1, 1,
                      RunCookieDate});
}

}  // namespace tessaro::cli
