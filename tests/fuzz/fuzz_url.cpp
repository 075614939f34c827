// The URL helpers on any bytes: no crash, and the invariants every result keeps.
#include <cstdlib>
#include <string>

#include "http/http_class.h"

using namespace tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const TextValue url(reinterpret_cast<const char*>(data), size);
  HTTP类 http;
  const TextValue root = http.GetRootUrl(url);
  const TextValue dir = http.GetDirectoryUrl(url);
  const TextValue file = http.GetFileNameFromUrl(url);
  const TextValue host = http.GetHost(url);
  (void)http.GetPort(url);
  const TextValue path = http.GetPath(url);
  if (dir.empty() || dir.back() != '/') std::abort();
  if (path.empty() || path[0] != '/') std::abort();
  if (ToLowerCase(host) != host) std::abort();
  if (file.size() > url.size() || root.size() > url.size() + 7) std::abort();
  if (url.find('/') == std::string::npos && file != url && url.find('.') != std::string::npos)
    std::abort();
  return 0;
}
