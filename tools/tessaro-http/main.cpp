// tessaro-http: the methods of HTTP类 for people and scripts.
//
//   tessaro-http COMMAND ARG...   runs one command and prints its result
//   tessaro-http -                reads commands from standard input, one a line, fields
//                                 separated by TAB and escaped, and prints one line each
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "tessaro-http/commands.h"
#include "tessaro-http/escape.h"

namespace {

using tessaro::cli::Command;
using tessaro::cli::CommandList;

CommandList AllCommands() {
  CommandList commands;
  tessaro::cli::RegisterUrlCommands(commands);
  tessaro::cli::RegisterDownloadCommands(commands);
  tessaro::cli::RegisterWebCommands(commands);
  tessaro::cli::RegisterFileCommands(commands);
  return commands;
}

void PrintHelp(const CommandList& commands) {
  std::string out =
      "Usage: tessaro-http COMMAND [ARG...]\n"
      "       tessaro-http -        (batch: commands from standard input)\n"
      "\n"
      "Arguments are taken as bytes, as given (GBK), and results are written as bytes.\n"
      "In batch mode each input line is a command word and its arguments separated by TAB;\n"
      "each command prints exactly one line, its result's fields separated by TAB. In both\n"
      "directions backslash, TAB, CR, LF and NUL are written \\\\ \\t \\r \\n \\0, and any\n"
      "other byte below 0x20 or at or above 0x7F as \\xHH. A malformed line prints a line\n"
      "starting with 'error:' and the run goes on.\n"
      "\nCommands:\n";
  for (const Command& c : commands) {
    out += "  ";
    out += c.name;
    if (!c.usage.empty()) {
      out += ' ';
      out += c.usage;
    }
    out += "\n      ";
    out += c.help;
    out += '\n';
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
}

const Command* Find(const CommandList& commands, const std::string& name) {
  for (const Command& c : commands)
    if (c.name == name) return &c;
  return nullptr;
}

std::string ArgumentError(const Command& c) {
  return "usage: " + std::string(c.name) + " " + std::string(c.usage);
}

int RunOne(const CommandList& commands, tessaro::HTTP类& http, const std::vector<std::string>& argv) {
  const Command* c = Find(commands, argv[0]);
  if (!c) {
    std::fprintf(stderr, "tessaro-http: unknown command '%s' (see --help)\n", argv[0].c_str());
    return 64;
  }
  std::vector<std::string> args(argv.begin() + 1, argv.end());
  if (args.size() < c->minArgs || args.size() > c->maxArgs) {
    std::fprintf(stderr, "tessaro-http: %s\n", ArgumentError(*c).c_str());
    return 64;
  }
  tessaro::cli::CommandContext context{http, false};
  tessaro::cli::CommandResult result = c->run(context, args);
  std::string out;
  if (result.text) {
    out = *result.text;
  } else {
    for (const std::string& f : result.fields) {
      out += f;
      out += '\n';
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  std::fflush(stdout);
  return result.exitCode;
}

int RunBatch(const CommandList& commands, tessaro::HTTP类& http) {
  tessaro::cli::CommandContext context{http, true};
  std::string line;
  while (std::getline(std::cin, line)) {
    std::string out;
    auto fields = tessaro::cli::SplitBatchLine(line);
    const Command* c = fields ? Find(commands, (*fields)[0]) : nullptr;
    if (!fields) {
      out = "error: malformed escape";
    } else if (!c) {
      out = "error: unknown command " + tessaro::cli::EscapeField((*fields)[0]);
    } else {
      std::vector<std::string> args(fields->begin() + 1, fields->end());
      if (args.size() < c->minArgs || args.size() > c->maxArgs) {
        out = "error: " + ArgumentError(*c);
      } else {
        tessaro::cli::CommandResult result = c->run(context, args);
        for (std::size_t i = 0; i < result.fields.size(); ++i) {
          if (i) out += '\t';
          out += tessaro::cli::EscapeField(result.fields[i]);
        }
      }
    }
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const CommandList commands = AllCommands();
  std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "--help" || args[0] == "-h" || args[0] == "help") {
    PrintHelp(commands);
    return args.empty() ? 64 : 0;
  }
  tessaro::HTTP类 http;
  int code = args[0] == "-" && args.size() == 1 ? RunBatch(commands, http)
                                                 : RunOne(commands, http, args);
  http.Destroy();
  return code;
}
