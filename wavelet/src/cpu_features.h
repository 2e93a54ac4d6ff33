// Which instruction-set variant of the kernels runs on this CPU, chosen once
// per process.
//
// Every fused multiply-add is an explicit std::fma, exactly rounded whether
// it becomes an instruction or a library call, so kernels compiled a second
// time for x86-64 CPUs with FMA (and AVX2) instructions give the same bits.
#pragma once

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define QUORVANE_X86_VARIANTS 1
#define QUORVANE_FMA_TARGET [[gnu::target("fma")]]
#define QUORVANE_AVX2_FMA_TARGET [[gnu::target("avx2,fma")]]
#else
#define QUORVANE_X86_VARIANTS 0
#define QUORVANE_FMA_TARGET
#define QUORVANE_AVX2_FMA_TARGET
#endif

namespace quorvane::wavelet {

// FMA instructions (scalar kernels compiled for them).
inline bool use_fma_instructions() {
#if QUORVANE_X86_VARIANTS
  static const bool supported = __builtin_cpu_supports("fma");
  return supported;
#else
  return false;
#endif
}

// Eight-lane AVX2 vectors with FMA (the lifting passes).
inline bool use_avx2_fma_instructions() {
#if QUORVANE_X86_VARIANTS
  static const bool supported = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  return supported;
#else
  return false;
#endif
}

}  // namespace quorvane::wavelet
