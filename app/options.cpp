#include "app/options.h"

#include <algorithm>

namespace tessaro::app {

namespace {

struct OptionSpec {
  std::string_view name;
  std::string Options::*field;
};

constexpr OptionSpec kOptionSpecs[] = {
    {"--page", &Options::pageUrl},
    {"--exchange-host", &Options::exchangeHost},
    {"--forum", &Options::forumUrl},
};

// A host with an optional port; no scheme, path, query, spaces or control bytes, which
// would end up somewhere else in the exchange URL than the host.
bool IsHostAndPort(std::string_view h) {
  if (h.empty()) return false;
  return std::none_of(h.begin(), h.end(), [](char c) {
    const auto b = static_cast<unsigned char>(c);
    return c == '/' || c == '?' || c == '#' || c == '@' || b <= ' ' || b == 0x7F;
  });
}

}  // namespace

ParsedOptions ParseOptions(const std::vector<std::string>& args) {
  ParsedOptions parsed;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      parsed.help = true;
      continue;
    }
    const OptionSpec* option = nullptr;
    std::string value;
    bool hasValue = false;
    for (const OptionSpec& s : kOptionSpecs) {
      if (arg == s.name) {
        option = &s;
        if (i + 1 < args.size()) {
          value = args[++i];
          hasValue = true;
        }
        break;
      }
      if (arg.size() > s.name.size() && arg.starts_with(s.name) && arg[s.name.size()] == '=') {
        option = &s;
        value = arg.substr(s.name.size() + 1);
        hasValue = true;
        break;
      }
    }
    if (option == nullptr) {
      parsed.error = "unknown argument: " + arg;
      return parsed;
    }
    if (!hasValue || value.empty()) {
      parsed.error = std::string(option->name) + " needs a value";
      return parsed;
    }
    if (option->field == &Options::exchangeHost && !IsHostAndPort(value)) {
      parsed.error = "--exchange-host takes HOST or HOST:PORT, not " + value;
      return parsed;
    }
    parsed.options.*(option->field) = value;
  }
  return parsed;
}

std::string HelpText(std::string_view program) {
  std::string text = "Usage: ";
  text += program;
  text +=
      " [OPTION...]\n"
      "\n"
      "Redeems every code of the file \"Quorvel\" in the current directory, one request per\n"
      "code, with the login made in the window's embedded browser.\n"
      "\n"
      "Options:\n"
      "  --page URL               start address of the embedded browser\n"
      "                           (default ";
  text += kDefaultPageUrl;
  text +=
      ")\n"
      "  --exchange-host HOST[:PORT]\n"
      "                           host of the exchange requests (default ";
  text += kDefaultExchangeHost;
  text +=
      ")\n"
      "  --forum URL              address the usage text opens (default ";
  text += kDefaultForumUrl;
  text +=
      ")\n"
      "  --help                   show this text\n"
      "\n"
      "GTK's own options (--display and the like) are accepted too. Nothing is stored.\n";
  return text;
}

}  // namespace tessaro::app
