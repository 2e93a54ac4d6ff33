// The 4- to 16-tap forward steps with four-lane NEON arithmetic. Lane j of
// an output holds exactly the portable lane value (c[j]*w[j], then one
// vfmaq_f32 per further tap of the lane, in increasing tap order) and the two
// horizontal sums keep the portable trees, so every coefficient has the
// portable bits.
#include "filter_bank_variants.h"

#if QUORVANE_NEON_VARIANTS

#include <arm_neon.h>

namespace quorvane::wavelet::filter_bank {
namespace {

// Reads exactly kTaps floats of c and w: the two taps left after the whole
// vectors of a 6- or 10-tap filter go to lanes 0 and 1 only, so lanes 2 and 3
// (pad taps) stay as they are, as in the portable code.
template <std::size_t kTaps>
[[gnu::always_inline]] inline float32x4_t neon_lanes(const float* c, const float* w) {
  float32x4_t p = vmulq_f32(vld1q_f32(c), vld1q_f32(w));
  std::size_t t = 4;
  for (; t + 4 <= kTaps; t += 4) p = vfmaq_f32(p, vld1q_f32(c + t), vld1q_f32(w + t));
  if constexpr (kTaps % 4 == 2) {
    const float32x2_t low = vfma_f32(vget_low_f32(p), vld1_f32(c + t), vld1_f32(w + t));
    p = vcombine_f32(low, vget_high_f32(p));
  }
  return p;
}

template <std::size_t kTaps>
struct NeonLanes {
  // (p0 + p2) + (p1 + p3) for both branches at once.
  [[gnu::always_inline]] static void single(const float* lp, const float* hp, const float* w,
                                            float& a, float& d) {
    const float32x4_t pa = neon_lanes<kTaps>(lp, w);
    const float32x4_t pd = neon_lanes<kTaps>(hp, w);
    const float32x2_t sa = vadd_f32(vget_low_f32(pa), vget_high_f32(pa));
    const float32x2_t sd = vadd_f32(vget_low_f32(pd), vget_high_f32(pd));
    const float32x2_t sums = vpadd_f32(sa, sd);
    a = vget_lane_f32(sums, 0);
    d = vget_lane_f32(sums, 1);
  }
  // (p0 + p1) + (p2 + p3) for both branches at once.
  [[gnu::always_inline]] static void grouped(const float* lp, const float* hp, const float* w,
                                             float& a, float& d) {
    const float32x4_t pairs = vpaddq_f32(neon_lanes<kTaps>(lp, w), neon_lanes<kTaps>(hp, w));
    const float32x4_t sums = vpaddq_f32(pairs, pairs);
    a = vgetq_lane_f32(sums, 0);
    d = vgetq_lane_f32(sums, 1);
  }
};

}  // namespace

template <std::size_t kTaps>
void fixed_taps_forward_neon(const float* lp, const float* hp, BorderMode mode,
                             std::span<const float> input, std::span<float> approximations,
                             std::span<float> details) {
  fixed_taps_forward_kernel<kTaps, NeonLanes<kTaps>>(lp, hp, mode, input, approximations,
                                                     details);
}

#define QUORVANE_INSTANTIATE(L)                                                         \
  template void fixed_taps_forward_neon<L>(const float*, const float*, BorderMode,               \
                      std::span<const float>, std::span<float>, std::span<float>);
QUORVANE_FOR_EACH_FIXED_TAPS(QUORVANE_INSTANTIATE)
#undef QUORVANE_INSTANTIATE

}  // namespace quorvane::wavelet::filter_bank

#endif
