// The byte escaping of tessaro-http's batch mode: backslash, TAB, CR, LF and NUL are written
// \\ \t \r \n \0, any other byte below 0x20 or at or above 0x7F as \xHH (lower-case hex).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tessaro::cli {

std::string EscapeField(std::string_view bytes);
// The bytes an escaped field stands for, or nothing when the escape is malformed.
std::optional<std::string> UnescapeField(std::string_view field);
// One batch line: the command word and its arguments, TAB-separated and escaped.
std::optional<std::vector<std::string>> SplitBatchLine(std::string_view line);

}  // namespace tessaro::cli
