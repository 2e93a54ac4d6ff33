#include "normalization.h"

#include <cmath>
#include <limits>

namespace quorvane::codec {
namespace {

float sanitize(float x) {
  if (std::isnan(x)) return 0.0f;
  if (std::isinf(x)) return x > 0.0f ? 1.0f : 0.0f;
  return x;
}

}  // namespace

NormalizedSignal normalize(std::span<const float> samples) {
  NormalizedSignal out;
  out.values.resize(samples.size());
  float min = std::numeric_limits<float>::infinity();
  float max = -std::numeric_limits<float>::infinity();
  for (std::size_t i = 0; i < samples.size(); ++i) {
    const float x = sanitize(samples[i]);
    out.values[i] = x;
    min = x < min ? x : min;
    max = x > max ? x : max;
  }
  out.min = min;
  out.max = max;

  const float range = max - min;
  if (range > kFlatRange) {
    const float inv = 1.0f / range;
    float sum = 0.0f;
    for (float& x : out.values) {
      const float shifted = x - min;
      x = shifted * inv;
      sum += x;
    }
    const float mean = sum / static_cast<float>(samples.size());
    for (float& x : out.values) x -= mean;
    out.mean = mean;
  } else {
    for (float& x : out.values) x = 0.0f;
    out.mean = 0.0f;
  }
  return out;
}

}  // namespace quorvane::codec
