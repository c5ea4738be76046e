#pragma once

#include <cstdint>

namespace pairdot {

// Seed for srand: clock - 2*rank in signed 64-bit, low 32 bits unsigned.
// 2*rank is a 32-bit int (wrapping as two's complement), sign-extended.
// Unsigned arithmetic keeps every step defined; the low 32 bits are the same.
constexpr unsigned seed_for(std::int64_t now, int rank) {
  const auto twice_rank = static_cast<std::int32_t>(static_cast<std::uint32_t>(rank) * 2U);
  const auto diff =
      static_cast<std::uint64_t>(now) - static_cast<std::uint64_t>(std::int64_t{twice_rank});
  return static_cast<std::uint32_t>(diff);
}

} // namespace pairdot
