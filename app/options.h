// The hosts the application talks to, and the command-line options that point them
// elsewhere. Nothing is stored: every start begins from the built-in names.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tessaro::app {

// Built-in names, all invented (.example) so that nothing real is ever contacted.
inline constexpr std::string_view kDefaultPageUrl = "http://live.quorvel.example/cfpl/s5/live.html";
inline constexpr std::string_view kDefaultExchangeHost = "act.quorvel.example";
inline constexpr std::string_view kDefaultForumUrl = "http://www.dawnharbor.example/";

struct Options {
  std::string pageUrl{kDefaultPageUrl};          // start address of the embedded browser
  std::string exchangeHost{kDefaultExchangeHost};  // HOST or HOST:PORT of the exchange URL
  std::string forumUrl{kDefaultForumUrl};        // what the label opens
};

struct ParsedOptions {
  Options options;
  bool help = false;    // --help was given: print HelpText() and leave
  std::string error;    // non-empty: the command line was not understood
};

// Takes "--name VALUE" and "--name=VALUE". Arguments that are not ours (GTK's own, such as
// --display, have been removed before) make an error.
ParsedOptions ParseOptions(const std::vector<std::string>& args);

std::string HelpText(std::string_view program);

}  // namespace tessaro::app
