// webaccess_bench URLFILE: one WebAccess GET per line of URLFILE, in order, on one thread.
// Prints "requests N bytes B seconds S" on standard output; exits 1 if any answer was the
// failure value or empty.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "http/http_class.h"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: webaccess_bench URLFILE\n");
    return 64;
  }
  std::vector<std::string> urls;
  std::ifstream in(argv[1]);
  for (std::string line; std::getline(in, line);)
    if (!line.empty()) urls.push_back(line);
  tessaro::HTTP类 http;
  std::size_t bytes = 0;
  int bad = 0;
  auto start = std::chrono::steady_clock::now();
  for (const std::string& url : urls) {
    tessaro::ByteSet body = http.WebAccess(url);
    if (body.empty() || body.size() == 255) ++bad;
    bytes += body.size();
  }
  std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - start;
  std::printf("requests %zu bytes %zu seconds %.3f\n", urls.size(), bytes, elapsed.count());
  if (bad) std::fprintf(stderr, "webaccess_bench: %d answers empty or failed\n", bad);
  return bad ? 1 : 0;
}
