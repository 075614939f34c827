// The commands of tessaro-http. Each group of commands lives in its own file and adds
// itself through a Register* function that main.cpp calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "http/http_class.h"

namespace tessaro::cli {

struct CommandContext {
  HTTP类& http;
  bool batch;  // one escaped line per command, fields separated by TAB
};

struct CommandResult {
  // The result's fields: in batch mode one line, fields escaped and separated by TAB.
  std::vector<std::string> fields;
  // What a person sees; when absent, each field is printed as is on a line of its own.
  std::optional<std::string> text;
  int exitCode = 0;
};

struct Command {
  std::string_view name;
  std::string_view usage;  // arguments, as shown by --help
  std::string_view help;   // one or two sentences
  std::size_t minArgs;
  std::size_t maxArgs;
  CommandResult (*run)(CommandContext& context, const std::vector<std::string>& args);
};

using CommandList = std::vector<Command>;

void RegisterUrlCommands(CommandList& commands);
void RegisterDownloadCommands(CommandList& commands);
void RegisterWebCommands(CommandList& commands);
void RegisterFileCommands(CommandList& commands);

}  // namespace tessaro::cli
