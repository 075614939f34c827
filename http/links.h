// GetPageLinks: the anchors of a page, as records of text, target and image source.
#pragma once

#include <cstdint>

#include "http/http_class.h"

namespace tessaro::http {

// Fetches the page (GetPageText through the table) and replaces links with one record per
// accepted anchor, in page order; relative targets are joined with GetRootUrl and
// GetDirectoryUrl of the URL. Returns the number of records.
std::int32_t GetPageLinks(HTTP类& self, const TextValue& url, ValueArray<LinkRecord>& links);

}  // namespace tessaro::http
