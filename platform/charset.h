// Character-set conversion between the system's GBK texts and the UTF-8 of the GUI.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace tessaro::platform {

// UTF-8 to GBK; nothing when a character has no GBK form.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);
// GBK to UTF-8; a byte sequence that is not GBK becomes U+FFFD and the rest still converts.
std::string GbkToUtf8(std::string_view gbk);

}  // namespace tessaro::platform
