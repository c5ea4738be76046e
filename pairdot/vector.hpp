#pragma once

namespace pairdot {

// Length of every vector: values drawn, message count and dot-product terms.
constexpr int veclen = 5;

// Sum of a[i] * b[i], accumulated in index order.
constexpr int dot_product(const int *a, const int *b) {
  int sum = 0;
  for (int i = 0; i < veclen; ++i) {
    sum += a[i] * b[i];
  }
  return sum;
}

} // namespace pairdot
