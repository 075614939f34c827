// FindText and the two splits over 100 MB of mostly ASCII text with some GBK, with
// std::string_view::find and a memchr split of the same input as baselines.
//
//   build/bench/bench_values --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>
#include <string>

#include "values/values.h"

namespace {

using namespace tessaro;

constexpr std::size_t kSize = 100u << 20;

// Lines of code-like ASCII with a GBK word in about one line out of eight, CR LF ended.
const std::string& Input() {
  static const std::string input = [] {
    std::string s;
    s.reserve(kSize + 64);
    std::mt19937 rng(42);
    const char* gbk[] = {"\xC4\xE3\xBA\xC3", "\xB6\xD2\xBB\xBB", "\xC1\xEC\xC8\xA1"};
    while (s.size() < kSize) {
      const int len = 8 + static_cast<int>(rng() % 24);
      for (int i = 0; i < len; ++i) s += static_cast<char>('a' + rng() % 26);
      if (rng() % 8 == 0) s += gbk[rng() % 3];
      s += "\r\n";
    }
    s += "NEEDLE";  // the sought text sits at the very end
    return s;
  }();
  return input;
}

void SetBytes(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) *
                          static_cast<std::int64_t>(Input().size()));
}

void BM_StringViewFind(benchmark::State& state) {
  const std::string_view in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(in.find("NEEDLE"));
  SetBytes(state);
}
void BM_FindText(benchmark::State& state) {
  const std::string_view in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(FindText(in, "NEEDLE", 0, false));
  SetBytes(state);
}
void BM_FindTextIgnoreCase(benchmark::State& state) {
  const std::string_view in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(FindText(in, "needle", 0, true));
  SetBytes(state);
}
void BM_FindTextReverse(benchmark::State& state) {
  const std::string_view in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(FindTextReverse(in, "NEEDLE", 0, false));
  SetBytes(state);
}

void BM_MemchrSplit(benchmark::State& state) {
  const std::string& in = Input();
  for (auto _ : state) {
    std::vector<std::string> pieces;
    const char* p = in.data();
    const char* end = p + in.size();
    const char* start = p;
    while (p < end) {
      const auto* cr = static_cast<const char*>(std::memchr(p, '\r', static_cast<std::size_t>(end - p)));
      if (!cr || cr + 1 >= end) break;
      if (cr[1] != '\n') {
        p = cr + 1;
        continue;
      }
      pieces.emplace_back(start, cr);
      start = p = cr + 2;
    }
    if (start < end) pieces.emplace_back(start, end);
    benchmark::DoNotOptimize(pieces.data());
  }
  SetBytes(state);
}
void BM_SplitBytes(benchmark::State& state) {
  const ByteSet in(Input());
  for (auto _ : state) benchmark::DoNotOptimize(SplitBytes(in, "\r\n").Count());
  SetBytes(state);
}
void BM_SplitText(benchmark::State& state) {
  const std::string_view in = Input();
  for (auto _ : state) benchmark::DoNotOptimize(SplitText(in, "\r\n").Count());
  SetBytes(state);
}

BENCHMARK(BM_StringViewFind)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextIgnoreCase)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FindTextReverse)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_MemchrSplit)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitBytes)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SplitText)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
