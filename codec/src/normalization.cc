#include "normalization.h"

#include <algorithm>

#include "kernels/sample_kernels.h"

namespace quorvane::codec {
namespace {

// Vector lanes find an extreme's value but not which of +0 and -0 came
// first; a scan from the front settles it (only zeros compare equal with
// different bits, and NaN is gone after sanitising).
float first_equal(const UninitializedVector<float>& values, float extreme) {
  if (extreme != 0.0f) return extreme;
  return *std::find(values.begin(), values.end(), extreme);
}

}  // namespace

NormalizedSignal normalize(std::span<const float> samples) {
  const kernels::SampleKernels& k = kernels::sample_kernels();
  const std::size_t n = samples.size();
  NormalizedSignal out;
  out.values.resize(n);
  const kernels::Extremes extremes = k.sanitize_extremes(samples.data(), out.values.data(), n);
  out.min = first_equal(out.values, extremes.min);
  out.max = first_equal(out.values, extremes.max);

  const float range = out.max - out.min;
  if (range > kFlatRange) {
    const float inv = 1.0f / range;
    const float sum = k.normalize_and_sum(out.values.data(), n, out.min, inv);
    out.mean = sum / static_cast<float>(n);
    k.subtract(out.values.data(), n, out.mean);
  } else {
    std::fill(out.values.begin(), out.values.end(), 0.0f);
    out.mean = 0.0f;
  }
  return out;
}

}  // namespace quorvane::codec
