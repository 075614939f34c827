// url URL: the six URL helpers of HTTP类.
#include "tessaro-http/commands.h"

namespace tessaro::cli {
namespace {

CommandResult RunUrl(CommandContext& context, const std::vector<std::string>& args) {
  HTTP类& http = context.http;
  const TextValue& url = args[0];
  return {{http.GetRootUrl(url), http.GetDirectoryUrl(url), http.GetFileNameFromUrl(url),
           http.GetHost(url), ToText(http.GetPort(url)), http.GetPath(url)},
          std::nullopt,
          0};
}

}  // namespace

void RegisterUrlCommands(CommandList& commands) {
  commands.push_back({"url", "URL",
                      "Prints the root URL, directory URL, file name, host, port and path of URL.",
                      1, 1, RunUrl});
}

}  // namespace tessaro::cli
