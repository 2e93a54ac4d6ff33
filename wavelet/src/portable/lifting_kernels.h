// The lifting transforms (CDF 9/7 and CDF 5/3) in plain C++: the definition
// of every coefficient they produce.
//
// Every lifted sample is fma(left + right, c, base): the neighbour sum is
// rounded on its own, then one fused multiply-add rounds once (an FMA
// instruction, or on a baseline without one the exact double-precision
// sequence of quorvane/fused_multiply_add.h, never a library call). Scaling is a
// plain rounded product. The step sequences are templates over `Passes`,
// which supplies the two passes a variant may vectorise (lift_adjacent_pairs
// and scale); every variant instantiates them inside its own instruction set,
// so borders and the first predict take FMA instructions too.
#pragma once

#include <bit>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernel_variant.h"
#include "quorvane/fused_multiply_add.h"

namespace quorvane::wavelet::lifting {

// Approximation (even-index) and details (odd-index) lengths of n samples.
constexpr std::size_t even_count(std::size_t n) { return n - n / 2; }
constexpr std::size_t odd_count(std::size_t n) { return n / 2; }

// `Fma` is how the calling variant's instruction set fuses: an instruction,
// or the exact double-precision sequence where the baseline has none.
template <class Fma = FmaInstruction>
QUORVANE_KERNEL_INLINE float lift_sample(float left, float right, float c, float base) {
  return Fma::apply(left + right, c, base);
}

// The two passes a variant may vectorise, in plain C++, fusing with `Fma`.
template <class Fma>
struct PlainPasses {
  using FusedMultiplyAdd = Fma;
  // out[i] = fma(neighbours[i] + neighbours[i + 1], c, base[i]) for every i
  // of `out`. `out` may be `base` itself: each sample reads and writes only
  // its own index, so the pass is safe in place and lane-parallel.
  QUORVANE_KERNEL_INLINE static void lift_adjacent_pairs(std::span<const float> neighbours,
                                                         float c, std::span<const float> base,
                                                         std::span<float> out) {
    for (std::size_t i = 0; i < out.size(); ++i) {
      out[i] = lift_sample<Fma>(neighbours[i], neighbours[i + 1], c, base[i]);
    }
  }
  QUORVANE_KERNEL_INLINE static void scale(std::span<float> values, float factor) {
    for (float& value : values) value = value * factor;
  }
};

// The plain passes of variants compiled for FMA instructions (X86Fma, NEON),
// and those of the portable variant, compiled for the target's baseline.
using PortablePasses = PlainPasses<FmaInstruction>;
using BaselinePasses = PlainPasses<BaselineFma>;

// The fused multiply-add of a variant's scalar steps (borders, the first
// predict): the one its Passes name, else the instruction, as the vector
// variants are compiled for FMA instructions.
template <class Passes>
struct FmaOf {
  using type = FmaInstruction;
};
template <class Passes>
  requires requires { typename Passes::FusedMultiplyAdd; }
struct FmaOf<Passes> {
  using type = typename Passes::FusedMultiplyAdd;
};
template <class Passes>
using FmaOfPasses = typename FmaOf<Passes>::type;

// Predict straight from an interleaved signal x of n samples:
// odds[i] = fma(x[2i] + x[2i + 2], c, x[2i + 1]). For even n the last odd
// sample has no right even neighbour and mirrors x[n - 2] instead.
template <class Passes = PortablePasses>
QUORVANE_KERNEL_INLINE void predict_odds_from_interleaved(std::span<const float> x, float c,
                                                          std::span<float> odds) {
  using Fma = FmaOfPasses<Passes>;
  const std::size_t n = x.size();
  assert(n >= 3 && odds.size() == odd_count(n));
  const std::size_t with_right_neighbour = (n - 1) / 2;
  for (std::size_t i = 0; i < with_right_neighbour; ++i) {
    odds[i] = lift_sample<Fma>(x[2 * i], x[2 * i + 2], c, x[2 * i + 1]);
  }
  if (n % 2 == 0) odds[n / 2 - 1] = lift_sample<Fma>(x[n - 2], x[n - 2], c, x[n - 1]);
}

// Predict from the even array: odds[i] = fma(evens[i] + evens[i + 1], c,
// base[i]); when there are as many evens as odds, the last odd sample mirrors
// its missing right neighbour (evens[E-1] + evens[E-1]). `odds` may be `base`.
template <class Passes>
QUORVANE_KERNEL_INLINE void predict_odds(std::span<const float> evens, float c,
                                         std::span<const float> base, std::span<float> odds) {
  const std::size_t count = odds.size();
  assert(count >= 1 && base.size() == count);
  assert(evens.size() == count || evens.size() == count + 1);
  const std::size_t with_right_neighbour = evens.size() - 1 < count ? evens.size() - 1 : count;
  Passes::lift_adjacent_pairs(evens.first(with_right_neighbour + 1), c,
                              base.first(with_right_neighbour), odds.first(with_right_neighbour));
  if (evens.size() == count) {
    const float last = evens[count - 1];
    odds[count - 1] = lift_sample<FmaOfPasses<Passes>>(last, last, c, base[count - 1]);
  }
}

// Update the even array from its odd neighbours, in place:
//   evens[0]     uses odds[0] + odds[0]         (missing left neighbour mirrored)
//   evens[i]     uses odds[i - 1] + odds[i]     for 1 <= i < interior_end
//   evens[E - 1] uses odds[E - 2] + odds[O - 1] (mirrored again when O = E - 1)
// Interior samples from interior_end to E - 2 keep their values; callers that
// update the whole interior pass E - 1.
template <class Passes>
QUORVANE_KERNEL_INLINE void update_evens(std::span<const float> odds, float c,
                                         std::span<float> evens, std::size_t interior_end) {
  const std::size_t even = evens.size();
  const std::size_t odd = odds.size();
  assert(even >= 2 && odd >= 1 && (odd == even || odd + 1 == even));
  assert(interior_end >= 1 && interior_end <= even - 1);
  using Fma = FmaOfPasses<Passes>;
  evens[0] = lift_sample<Fma>(odds[0], odds[0], c, evens[0]);
  const std::span<float> interior = evens.subspan(1, interior_end - 1);
  Passes::lift_adjacent_pairs(odds.first(interior_end), c, interior, interior);
  evens[even - 1] = lift_sample<Fma>(odds[even - 2], odds[odd - 1], c, evens[even - 1]);
}

QUORVANE_KERNEL_INLINE void split_evens(std::span<const float> x, std::span<float> evens) {
  assert(evens.size() == even_count(x.size()));
  for (std::size_t k = 0; k < evens.size(); ++k) evens[k] = x[2 * k];
}

// output[2i] = evens[i], output[2i + 1] = odds[i]; for odd lengths the last
// even sample closes the signal.
QUORVANE_KERNEL_INLINE void interleave(std::span<const float> evens, std::span<const float> odds,
                                       std::span<float> output) {
  assert(output.size() == evens.size() + odds.size() && evens.size() >= odds.size());
  for (std::size_t i = 0; i < odds.size(); ++i) {
    output[2 * i] = evens[i];
    output[2 * i + 1] = odds[i];
  }
  if (output.size() % 2 == 1) output[output.size() - 1] = evens[evens.size() - 1];
}

// ---------------------------------------------------------------------------
// CDF 9/7

// Lifting constants by bit pattern, so no decimal-to-binary conversion can
// move them.
inline constexpr float kCdf97Alpha = std::bit_cast<float>(std::uint32_t{0xBFCB0673});  // -1.5861343
inline constexpr float kCdf97Beta = std::bit_cast<float>(std::uint32_t{0xBD5901AE});   // -0.052980117
inline constexpr float kCdf97Gamma = std::bit_cast<float>(std::uint32_t{0x3F620676});  // 0.8829111
inline constexpr float kCdf97Delta = std::bit_cast<float>(std::uint32_t{0x3EE31355});  // 0.44350687
// K scales the forward approximations and the inverse details; K' the other
// two. K' is its own constant, one ulp above the float reciprocal of K
// (0x3F5EAF6F): nothing is ever divided.
inline constexpr float kCdf97Scale = std::bit_cast<float>(std::uint32_t{0x3F93263D});         // 1.1496044
inline constexpr float kCdf97InverseScale = std::bit_cast<float>(std::uint32_t{0x3F5EAF70});  // 0.86986446

// The update passes of CDF 9/7 leave part of the interior unchanged for some
// lengths. The interior i = 1 ... E - 2 counts in blocks of 16 from i = 1, and
// the final partial block is updated only when floor(O/16) and floor((O-1)/16)
// both equal floor((E-2)/16). For n >= 32 with n mod 32 in {0, 1, 2} that
// leaves 16*floor(n/32) - 15 ... ceil(n/2) - 2 alone. Stored streams were
// written under exactly this rule and decode bit-exactly only while it stays;
// the inverse applies it too, so forward and inverse still pair up.
constexpr std::size_t cdf97_update_interior_end(std::size_t even_count, std::size_t odd_count) {
  constexpr std::size_t kBlock = 16;
  const std::size_t interior = even_count - 2;
  const std::size_t full_blocks = interior / kBlock;
  const bool partial_block_runs =
      odd_count / kBlock == full_blocks && (odd_count - 1) / kBlock == full_blocks;
  return 1 + (partial_block_runs ? interior : full_blocks * kBlock);
}

template <class Passes>
QUORVANE_KERNEL_INLINE void cdf97_update(std::span<float> evens, std::span<const float> odds,
                                         float c) {
  update_evens<Passes>(odds, c, evens, cdf97_update_interior_end(evens.size(), odds.size()));
}

template <class Passes>
QUORVANE_KERNEL_INLINE void cdf97_forward_steps(std::span<const float> input,
                                                std::span<float> approximations,
                                                std::span<float> details) {
  predict_odds_from_interleaved<Passes>(input, kCdf97Alpha, details);
  split_evens(input, approximations);
  cdf97_update<Passes>(approximations, details, kCdf97Beta);
  predict_odds<Passes>(approximations, kCdf97Gamma, details, details);
  cdf97_update<Passes>(approximations, details, kCdf97Delta);
  Passes::scale(approximations, kCdf97Scale);
  Passes::scale(details, kCdf97InverseScale);
}

// `evens` and `odds` hold copies of the approximations and details; both are
// lifted in place and interleaved into `output`.
template <class Passes>
QUORVANE_KERNEL_INLINE void cdf97_inverse_steps(std::span<float> evens, std::span<float> odds,
                                                std::span<float> output) {
  Passes::scale(evens, kCdf97InverseScale);
  Passes::scale(odds, kCdf97Scale);
  cdf97_update<Passes>(evens, odds, -kCdf97Delta);
  predict_odds<Passes>(evens, -kCdf97Gamma, odds, odds);
  cdf97_update<Passes>(evens, odds, -kCdf97Beta);
  predict_odds<Passes>(evens, -kCdf97Alpha, odds, odds);
  interleave(evens, odds, output);
}

// ---------------------------------------------------------------------------
// CDF 5/3: exactly representable constants, so the inverse ones are exact
// negations; the update covers every interior sample for every length.

inline constexpr float kCdf53Predict = -0.5f;
inline constexpr float kCdf53Update = 0.25f;

template <class Passes>
QUORVANE_KERNEL_INLINE void cdf53_forward_steps(std::span<const float> input,
                                                std::span<float> approximations,
                                                std::span<float> details) {
  predict_odds_from_interleaved<Passes>(input, kCdf53Predict, details);
  split_evens(input, approximations);
  update_evens<Passes>(details, kCdf53Update, approximations, approximations.size() - 1);
}

// `evens` holds a copy of the approximations; the caller's details are read
// in place and the lifted odds written to `odds`.
template <class Passes>
QUORVANE_KERNEL_INLINE void cdf53_inverse_steps(std::span<float> evens,
                                                std::span<const float> details,
                                                std::span<float> odds, std::span<float> output) {
  update_evens<Passes>(details, -kCdf53Update, evens, evens.size() - 1);
  predict_odds<Passes>(evens, -kCdf53Predict, details, odds);
  interleave(evens, odds, output);
}

// One variant's compiled steps.
struct LiftingKernels {
  void (*cdf97_forward)(std::span<const float> input, std::span<float> approximations,
                        std::span<float> details);
  void (*cdf97_inverse)(std::span<float> evens, std::span<float> odds, std::span<float> output);
  void (*cdf53_forward)(std::span<const float> input, std::span<float> approximations,
                        std::span<float> details);
  void (*cdf53_inverse)(std::span<float> evens, std::span<const float> details,
                        std::span<float> odds, std::span<float> output);
};

// Defines the four entry points of a variant's table for `Passes`; each
// variant's file expands it inside its own instruction set.
#define QUORVANE_LIFTING_KERNELS(TARGET, Passes)                                                  \
  TARGET void cdf97_forward(std::span<const float> input, std::span<float> approximations,      \
                            std::span<float> details) {                                         \
    ::quorvane::wavelet::lifting::cdf97_forward_steps<Passes>(input, approximations, details);   \
  }                                                                                             \
  TARGET void cdf97_inverse(std::span<float> evens, std::span<float> odds,                      \
                            std::span<float> output) {                                          \
    ::quorvane::wavelet::lifting::cdf97_inverse_steps<Passes>(evens, odds, output);             \
  }                                                                                             \
  TARGET void cdf53_forward(std::span<const float> input, std::span<float> approximations,      \
                            std::span<float> details) {                                         \
    ::quorvane::wavelet::lifting::cdf53_forward_steps<Passes>(input, approximations, details);   \
  }                                                                                             \
  TARGET void cdf53_inverse(std::span<float> evens, std::span<const float> details,             \
                            std::span<float> odds, std::span<float> output) {                   \
    ::quorvane::wavelet::lifting::cdf53_inverse_steps<Passes>(evens, details, odds, output);     \
  }

// The table of `variant`, which must be one of available_kernel_variants().
const LiftingKernels& lifting_kernels(KernelVariant variant);

// The vectorised adjacent-pairs pass of each vector variant on its own.
#if QUORVANE_X86_VARIANTS
void lift_adjacent_pairs_avx2(std::span<const float> neighbours, float c,
                              std::span<const float> base, std::span<float> out);
#endif
#if QUORVANE_NEON_VARIANTS
void lift_adjacent_pairs_neon(std::span<const float> neighbours, float c,
                              std::span<const float> base, std::span<float> out);
#endif

}  // namespace quorvane::wavelet::lifting
