// The content of the event-server's download files: byte i of the file with a given seed,
// computable at any offset, so a client can check what it received without a stored copy.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tessaro::event_server {

constexpr std::uint64_t ContentWord(std::uint64_t seed, std::uint64_t index) {
  // splitmix64 of (seed, index)
  std::uint64_t z = seed * 0x9E3779B97F4A7C15ull + index + 0x632BE59BD9B4E019ull;
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// Fills out[0..n) with the file's bytes from offset on.
inline void FillContent(std::uint64_t seed, std::uint64_t offset, unsigned char* out,
                        std::size_t n) {
  std::uint64_t word = ContentWord(seed, offset >> 3);
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint64_t at = offset + i;
    if ((at & 7) == 0) word = ContentWord(seed, at >> 3);
    out[i] = static_cast<unsigned char>(word >> ((at & 7) * 8));
  }
}

}  // namespace tessaro::event_server
