// The lifting transforms with four-lane NEON passes. Each lane computes
// exactly the portable expression: vaddq_f32 rounds the neighbour sum, then
// one vfmaq_f32 rounds the lifted sample; scaling is one vmulq_f32. Tails,
// borders and the first predict are the portable code, whose std::fma is one
// fmadd instruction on AArch64.
#include "portable/cdf97_streaming.h"
#include "portable/lifting_kernels.h"

#if QUORVANE_NEON_VARIANTS

#include <arm_neon.h>

namespace quorvane::wavelet::lifting {

void lift_adjacent_pairs_neon(std::span<const float> neighbours, float c,
                              std::span<const float> base, std::span<float> out) {
  const std::size_t count = out.size();
  const float32x4_t coefficient = vdupq_n_f32(c);
  const float* x = neighbours.data();
  std::size_t i = 0;
  // Four vectors per block keep four independent fused chains in flight.
  for (; i + 16 <= count; i += 16) {
    for (std::size_t v = 0; v < 16; v += 4) {
      const float32x4_t sum = vaddq_f32(vld1q_f32(x + i + v), vld1q_f32(x + i + v + 1));
      vst1q_f32(out.data() + i + v, vfmaq_f32(vld1q_f32(base.data() + i + v), sum, coefficient));
    }
  }
  for (; i + 4 <= count; i += 4) {
    const float32x4_t sum = vaddq_f32(vld1q_f32(x + i), vld1q_f32(x + i + 1));
    vst1q_f32(out.data() + i, vfmaq_f32(vld1q_f32(base.data() + i), sum, coefficient));
  }
  for (; i < count; ++i) out[i] = lift_sample(x[i], x[i + 1], c, base[i]);
}

namespace {

struct NeonPasses {
  QUORVANE_KERNEL_INLINE static void lift_adjacent_pairs(std::span<const float> neighbours,
                                                         float c, std::span<const float> base,
                                                         std::span<float> out) {
    lift_adjacent_pairs_neon(neighbours, c, base, out);
  }
  QUORVANE_KERNEL_INLINE static void scale(std::span<float> values, float factor) {
    std::size_t i = 0;
    for (; i + 4 <= values.size(); i += 4) {
      vst1q_f32(values.data() + i, vmulq_n_f32(vld1q_f32(values.data() + i), factor));
    }
    for (; i < values.size(); ++i) values[i] = values[i] * factor;
  }
};

// Data movement of the streaming inverse: a rounded product per sample, and
// pairs stored interleaved by vst2q_f32.
struct NeonStripPasses {
  QUORVANE_KERNEL_INLINE static void scaled_copy(std::span<const float> values, float factor,
                                                 float* out) {
    std::size_t i = 0;
    for (; i + 4 <= values.size(); i += 4) {
      vst1q_f32(out + i, vmulq_n_f32(vld1q_f32(values.data() + i), factor));
    }
    for (; i < values.size(); ++i) out[i] = values[i] * factor;
  }
  QUORVANE_KERNEL_INLINE static void interleave_pairs(const float* evens, const float* odds,
                                                      std::size_t count, float* out) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
      float32x4x2_t pairs;
      pairs.val[0] = vld1q_f32(evens + i);
      pairs.val[1] = vld1q_f32(odds + i);
      vst2q_f32(out + 2 * i, pairs);
    }
    for (; i < count; ++i) {
      out[2 * i] = evens[i];
      out[2 * i + 1] = odds[i];
    }
  }
  QUORVANE_KERNEL_INLINE static void deinterleave_pairs(const float* x, std::size_t count,
                                                        float* evens, float* odds) {
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4) {
      const float32x4x2_t pairs = vld2q_f32(x + 2 * i);
      vst1q_f32(evens + i, pairs.val[0]);
      vst1q_f32(odds + i, pairs.val[1]);
    }
    for (; i < count; ++i) {
      evens[i] = x[2 * i];
      odds[i] = x[2 * i + 1];
    }
  }
};

QUORVANE_LIFTING_KERNELS(, NeonPasses)

}  // namespace

void cdf97_forward_streaming_neon(std::span<const float> input, std::span<float> approximations,
                                  std::span<float> details) {
  cdf97_forward_streaming_steps<NeonPasses, NeonStripPasses>(input, approximations, details);
}

void cdf97_inverse_streaming_neon(const StripBand& approximations,
                                  const StripBand& details, std::span<float> output) {
  cdf97_inverse_streaming_steps<NeonPasses, NeonStripPasses>(approximations, details, output);
}

extern const LiftingKernels kNeonLiftingKernels{cdf97_forward, cdf97_inverse, cdf53_forward,
                                                cdf53_inverse};

}  // namespace quorvane::wavelet::lifting

#endif
