#include "border_mode.h"

#include <cstddef>

namespace quorvane::wavelet {
namespace {

// i mod n in [0, n) for any sign of i (n > 0).
std::int64_t euclidean_mod(std::int64_t i, std::int64_t n) {
  const std::int64_t r = i % n;
  return r < 0 ? r + n : r;
}

// Mirror with the edge sample repeated: ... b a|a b c d|d c ... (period 2n).
std::int64_t reflect_index(std::int64_t i, std::int64_t n) {
  const std::int64_t m = euclidean_mod(i, 2 * n);
  return m < n ? m : 2 * n - 1 - m;
}

// Mirror about the edge sample: ... c b|a b c d|c b ... (period 2n - 2).
std::int64_t reflect101_index(std::int64_t i, std::int64_t n) {
  if (n == 1) return 0;
  const std::int64_t m = euclidean_mod(i, 2 * n - 2);
  return m < n ? m : 2 * n - 2 - m;
}

}  // namespace

float border_value(std::span<const float> x, std::int64_t i, BorderMode mode,
                   Reflect101Rule reflect101) {
  const auto n = static_cast<std::int64_t>(x.size());
  if (n == 0) return 0.0f;
  if (i >= 0 && i < n) return x[static_cast<std::size_t>(i)];
  if (mode == BorderMode::Reflect101 && reflect101 == Reflect101Rule::AsReflect) {
    mode = BorderMode::Reflect;
  }
  switch (mode) {
    case BorderMode::Clamp:
      return i < 0 ? x.front() : x.back();
    case BorderMode::Wrap:
      return x[static_cast<std::size_t>(euclidean_mod(i, n))];
    case BorderMode::Reflect:
      return x[static_cast<std::size_t>(reflect_index(i, n))];
    case BorderMode::Reflect101:
      return x[static_cast<std::size_t>(reflect101_index(i, n))];
    case BorderMode::Zeros:
      break;
  }
  return 0.0f;
}

}  // namespace quorvane::wavelet
