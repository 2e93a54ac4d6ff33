#include "cdf53f.h"

#include <algorithm>
#include <memory>

#include "checked_allocation.h"
#include "lifting_kernels.h"
#include "lifting_levels.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::wavelet {
namespace {

using lifting::even_count;
using lifting::odd_count;

// Exactly representable, so the inverse constants are exact negations.
constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;

// The update touches every interior even sample, for every length.
std::size_t whole_interior(std::size_t even_count) { return even_count - 1; }

}  // namespace

WaveletStatus Cdf53::execute_forward(std::span<const float> input, std::span<float> approximations,
                                     std::span<float> details) const {
  const std::size_t n = input.size();
  if (n < kMinimumLength) return Err{WaveletError::input_too_short(n, kMinimumLength)};
  if (approximations.size() != even_count(n)) {
    return Err{WaveletError::approximation_size_mismatch(approximations.size(), n)};
  }
  if (details.size() != odd_count(n)) {
    return Err{WaveletError::details_size_mismatch(details.size(), n)};
  }

  lifting::predict_odds_from_interleaved(input, kPredict, details);
  lifting::split_evens(input, approximations);
  lifting::update_evens(details, kUpdate, approximations, whole_interior(approximations.size()));
  return {};
}

WaveletStatus Cdf53::execute_forward_with_scratch(std::span<const float> input,
                                                  std::span<float> approximations,
                                                  std::span<float> details,
                                                  std::span<float> /*scratch*/) const {
  return execute_forward(input, approximations, details);
}

std::size_t Cdf53::required_scratch_size(std::size_t /*input_length*/) const { return 0; }

DwtSize Cdf53::dwt_size(std::size_t input_length) const {
  return {std::max<std::size_t>(even_count(input_length), 2),
          std::max<std::size_t>(odd_count(input_length), 1)};
}

WaveletStatus Cdf53::execute_inverse(std::span<const float> approximations,
                                     std::span<const float> details,
                                     std::span<float> output) const {
  const std::size_t a = approximations.size();
  const std::size_t d = details.size();
  const std::size_t n = output.size();
  if (a + d != n) return Err{WaveletError::output_size_mismatch(n, a + d)};
  const std::size_t required_a = std::max<std::size_t>(even_count(n), 2);
  if (a != required_a) return Err{WaveletError::approximation_size_mismatch(a, required_a)};
  const std::size_t required_d = std::max<std::size_t>(odd_count(n), 1);
  if (d != required_d) return Err{WaveletError::details_size_mismatch(d, required_d)};

  // The caller's details are read in place; only the evens need a copy.
  std::vector<float> evens(approximations.begin(), approximations.end());
  lifting::update_evens(details, -kUpdate, evens, whole_interior(evens.size()));
  QUORVANE_TRY(std::vector<float> odds, zeroed_floats(d));
  lifting::predict_odds(evens, -kPredict, details, odds);
  lifting::interleave(evens, odds, output);
  return {};
}

std::size_t Cdf53::idwt_size(DwtSize size) const {
  return std::max<std::size_t>(size.approximations + size.details, 3);
}

std::size_t Cdf53::filter_length() const { return kFilterLength; }

WaveletResult<Dwt> Cdf53::dwt(std::span<const float> input, std::size_t level) const {
  return lifting::dwt_levels(*this, kMinimumLength, input, level);
}

WaveletResult<MultiDwt> Cdf53::multi_dwt(std::span<const float> input, std::size_t levels) const {
  return lifting::multi_dwt_levels(*this, kMinimumLength, input, levels);
}

WaveletResult<std::vector<float>> Cdf53::idwt(const DwtRef& level) const {
  return lifting::idwt_level(*this, level);
}

WaveletResult<std::vector<float>> Cdf53::multi_idwt(const MultiDwtRef& decomposition) const {
  return lifting::multi_idwt_levels(*this, decomposition);
}

DwtExecutorHandle make_cdf53_f32() { return std::make_shared<const Cdf53>(); }

}  // namespace quorvane::wavelet
