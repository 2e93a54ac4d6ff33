// The codec's per-sample loops: sanitising with min/max, normalising,
// quantising with the dead zone into coefficient bytes, dequantising and
// denormalising. Each exists as a portable variant and, on x86-64, as an
// AVX2/FMA variant; both give exactly the bits of the scalar definitions in
// normalization.h and quantizer.h (the tests compare them over many lengths
// and special values). The variant is picked once per process.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorvane::codec::kernels {

struct Extremes {
  float min;
  float max;
};

struct SampleKernels {
  const char* name;

  // out[i] = sanitised in[i] (NaN -> 0, +inf -> 1, -inf -> 0); returns the
  // smallest and largest sanitised value. When an extreme compares equal to
  // zero its sign may differ from the first such value in index order;
  // `sanitize` in normalization.cc settles that.
  Extremes (*sanitize_extremes)(const float* in, float* out, std::size_t n);

  // values[i] = (values[i] - min) * inv, both operations rounded on their
  // own; returns the sum of the new values, added one by one in index order
  // in single precision starting from 0.
  float (*normalize_and_sum)(float* values, std::size_t n, float min, float inv);

  // values[i] -= mean.
  void (*subtract)(float* values, std::size_t n, float mean);

  // Two little-endian bytes per coefficient: trunc(clamp(c * factor,
  // -32768, 32767)), zeroed when its magnitude is below `threshold`.
  void (*quantize_to_bytes)(const float* coefficients, std::size_t n, float factor,
                            std::int32_t threshold, std::uint8_t* out);

  // out[i] = float(int16 from bytes 2i, 2i+1) * step.
  void (*dequantize_bytes)(const std::uint8_t* bytes, std::size_t n, float step, float* out);

  // values[i] = clamp(fma(values[i] + mean, range, min), -FLT_MAX, FLT_MAX);
  // a NaN result becomes FLT_MAX, as the clamp's minimum ignores NaN.
  void (*denormalize)(float* values, std::size_t n, float mean, float range, float min);
};

// The variant for this CPU.
const SampleKernels& sample_kernels();

// Every variant this CPU can run, the portable one first (for the tests).
const SampleKernels& portable_sample_kernels();
const SampleKernels* avx2_fma_sample_kernels();  // nullptr when not available

}  // namespace quorvane::codec::kernels
