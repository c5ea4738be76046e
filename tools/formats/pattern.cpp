#include "pattern.hpp"

#include <cstring>

namespace pairdot_probe {

namespace {

constexpr int word_bytes = 8;

// splitmix64's finalizer: every input bit changes about half the output bits.
std::uint64_t mix(std::uint64_t x) {
  x += 0x9e3779b97f4a7c15ULL;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
  return x ^ (x >> 31);
}

std::uint64_t seed_of(const PatternKey &key) {
  return mix(mix(mix(static_cast<std::uint64_t>(key.pair)) ^ key.size) ^ key.message);
}

// Byte b of word w of the message: the same on hosts of either byte order.
unsigned char pattern_byte(std::uint64_t word, std::size_t b) {
  return static_cast<unsigned char>(word >> (8 * b));
}

// The word as its bytes lie in a message: little-endian on every host.
std::uint64_t as_little_endian(std::uint64_t word) {
  const std::uint16_t probe = 1;
  unsigned char first = 0;
  std::memcpy(&first, &probe, 1);
  return first == 1 ? word : __builtin_bswap64(word);
}

} // namespace

void fill_pattern(unsigned char *out, const PatternKey &key) {
  const std::uint64_t seed = seed_of(key);
  const std::uint64_t whole = key.size - key.size % word_bytes;
  for (std::uint64_t i = 0; i < whole; i += word_bytes) {
    const std::uint64_t word = as_little_endian(mix(seed ^ i));
    std::memcpy(out + i, &word, word_bytes);
  }
  for (std::uint64_t i = whole; i < key.size; ++i) {
    out[i] = pattern_byte(mix(seed ^ whole), i - whole);
  }
}

PatternCheck check_pattern(const unsigned char *got, const PatternKey &key) {
  const std::uint64_t seed = seed_of(key);
  PatternCheck check;
  for (std::uint64_t i = 0; i < key.size; i += word_bytes) {
    const std::uint64_t word = mix(seed ^ i);
    std::uint64_t got_word = 0;
    if (i + word_bytes <= key.size &&
        (std::memcpy(&got_word, got + i, word_bytes), as_little_endian(got_word) == word)) {
      continue;
    }
    for (std::size_t b = 0; b < word_bytes && i + b < key.size; ++b) {
      if (got[i + b] != pattern_byte(word, b)) {
        check.first_offset = check.differing_bytes == 0 ? i + b : check.first_offset;
        ++check.differing_bytes;
      }
    }
  }
  return check;
}

} // namespace pairdot_probe
