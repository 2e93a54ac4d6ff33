// Which compiled variant of the transform kernels runs, chosen once per
// process. Every variant gives the bits of the portable one: every fused
// multiply-add is explicit in all of them (std::fma, an FMA instruction or a
// NEON vfmaq_f32), every other sum and product is rounded on its own, and the
// vector variants keep the per-output lane layout of the portable code.
#pragma once

#include <cstdint>
#include <span>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_X86_VARIANTS 1
#define QUORVANE_FMA_TARGET [[gnu::target("fma")]]
#define QUORVANE_AVX2_FMA_TARGET [[gnu::target("avx2,fma")]]
#else
#define QUORVANE_X86_VARIANTS 0
#endif

#if defined(__aarch64__)
#define QUORVANE_NEON_VARIANTS 1
#else
#define QUORVANE_NEON_VARIANTS 0
#endif

// Kernel pieces are forced inline so that they take the instruction set of
// the variant that calls them.
#define QUORVANE_KERNEL_INLINE [[gnu::always_inline]] inline

namespace quorvane::wavelet {

enum class KernelVariant : std::uint8_t {
  // Plain C++: the definition of every result. Where the baseline has no FMA
  // instruction each fused multiply-add is the exact double-precision
  // sequence of quorvane/fused_multiply_add.h, not a call of fmaf.
  Portable,
  // x86-64 with FMA: the portable code compiled for FMA instructions.
  X86Fma,
  // x86-64 with AVX2 and FMA: eight-lane lifting passes, FMA elsewhere.
  X86Avx2Fma,
  // 64-bit Arm: four-lane NEON lifting passes and filter banks.
  Neon,
};

// The fastest variant this CPU runs.
KernelVariant active_kernel_variant();

// Every variant this build can run on this CPU, portable first (tests compare
// each with the portable one).
std::span<const KernelVariant> available_kernel_variants();

}  // namespace quorvane::wavelet
