// links URL, cookie-files-delete [FILTER], cache-clear, cache-list [PATTERN]: the page links
// and the browser's cookie and cache files.
#include "tessaro-http/commands.h"

namespace tessaro::cli {
namespace {

CommandResult RunLinks(CommandContext& context, const std::vector<std::string>& args) {
  ValueArray<LinkRecord> links;
  const std::int32_t count = context.http.GetPageLinks(args[0], links);
  CommandResult result;
  result.fields.push_back(ToText(count));
  for (const LinkRecord& link : links) {
    result.fields.push_back(link.text);
    result.fields.push_back(link.href);
    result.fields.push_back(link.imageSrc);
  }
  return result;
}

CommandResult RunCookieFilesDelete(CommandContext& context, const std::vector<std::string>& args) {
  context.http.DeleteCookieFiles(args.empty() ? TextValue() : args[0]);
  return {};
}

CommandResult RunCacheClear(CommandContext& context, const std::vector<std::string>&) {
  context.http.ClearCache();
  return {};
}

CommandResult RunCacheList(CommandContext& context, const std::vector<std::string>& args) {
  TextValue pattern = args.empty() ? TextValue() : args[0];
  ValueArray<TextValue> files;
  const std::int32_t count = context.http.ListCacheFiles(pattern, files);
  CommandResult result;
  result.fields.push_back(ToText(count));
  for (const TextValue& path : files) result.fields.push_back(path);
  return result;
}

}  // namespace

void RegisterFileCommands(CommandList& commands) {
  commands.push_back({"links", "URL",
                      "Fetches the page at URL and prints the number of its links, then each "
                      "link's text, target and image source.",
                      1, 1, RunLinks});
  commands.push_back({"cookie-files-delete", "[FILTER]",
                      "Ends the browser session and deletes the cookie files, or only those "
                      "whose name contains FILTER (case matters).",
                      0, 1, RunCookieFilesDelete});
  commands.push_back({"cache-clear", "",
                      "Deletes every file in the subfolders of the browser cache.", 0, 0,
                      RunCacheClear});
  commands.push_back({"cache-list", "[PATTERN]",
                      "Prints the number of cached files that match PATTERN (default *.*), "
                      "then their paths.",
                      0, 1, RunCacheList});
}

}  // namespace tessaro::cli
