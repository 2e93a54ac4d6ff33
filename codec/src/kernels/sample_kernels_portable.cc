#include "kernels/sample_kernels.h"

#include <limits>

#include "kernels/scalar_steps.h"

namespace quorvane::codec::kernels {
namespace {

Extremes sanitize_extremes(const float* in, float* out, std::size_t n) {
  float min = std::numeric_limits<float>::infinity();
  float max = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < n; ++i) {
    const float x = sanitize_one(in[i]);
    out[i] = x;
    min = x < min ? x : min;
    max = x > max ? x : max;
  }
  return {min, max};
}

float normalize_and_sum(float* values, std::size_t n, float min, float inv) {
  float sum = 0.0f;
  for (std::size_t i = 0; i < n; ++i) {
    const float shifted = values[i] - min;
    values[i] = shifted * inv;
    sum += values[i];
  }
  return sum;
}

void subtract(float* values, std::size_t n, float mean) {
  for (std::size_t i = 0; i < n; ++i) values[i] -= mean;
}

void quantize_to_bytes(const float* coefficients, std::size_t n, float factor,
                       std::int32_t threshold, std::uint8_t* out) {
  for (std::size_t i = 0; i < n; ++i) {
    store_le16(dead_zone_one(quantize_one(coefficients[i], factor), threshold), out + 2 * i);
  }
}

void dequantize_bytes(const std::uint8_t* bytes, std::size_t n, float step, float* out) {
  for (std::size_t i = 0; i < n; ++i) out[i] = load_le16(bytes + 2 * i) * step;
}

void denormalize(float* values, std::size_t n, float mean, float range, float min) {
  for (std::size_t i = 0; i < n; ++i) values[i] = denormalize_one<BaselineFma>(values[i], mean, range, min);
}

}  // namespace

const SampleKernels& portable_sample_kernels() {
  static constexpr SampleKernels kPortable{
      "portable",        &sanitize_extremes, &normalize_and_sum, &subtract,
      &quantize_to_bytes, &dequantize_bytes,  &denormalize,
  };
  return kPortable;
}

const SampleKernels& sample_kernels() {
#if defined(QUORVANE_PORTABLE_KERNELS)
  return portable_sample_kernels();
#endif
  static const SampleKernels& chosen = [] () -> const SampleKernels& {
    const SampleKernels* vector = avx2_fma_sample_kernels();
    return vector != nullptr ? *vector : portable_sample_kernels();
  }();
  return chosen;
}

}  // namespace quorvane::codec::kernels
