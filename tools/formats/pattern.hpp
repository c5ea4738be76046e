#pragma once

// The payload of every probe message: a pattern that only its pair, size and
// message number produce, and the receiver's byte-by-byte check of it.

#include <cstddef>
#include <cstdint>

namespace pairdot_probe {

struct PatternKey {
  int pair = 0; // the pair's even (sending) rank
  std::uint64_t size = 0;
  std::uint64_t message = 0; // numbered from 0 within a size, warm-up first
};

struct PatternCheck {
  std::uint64_t differing_bytes = 0;
  std::uint64_t first_offset = 0; // meaningful when differing_bytes > 0
};

// Writes key's pattern into the first key.size bytes of out.
void fill_pattern(unsigned char *out, const PatternKey &key);

// Compares the first key.size bytes of got with key's pattern.
PatternCheck check_pattern(const unsigned char *got, const PatternKey &key);

} // namespace pairdot_probe
