#include "cdf53f.h"

#include <memory>

#include "checked_allocation.h"
#include "lifting_kernels.h"
#include "lifting_levels.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::wavelet {
namespace {


// Exactly representable, so the inverse constants are exact negations.
constexpr float kPredict = -0.5f;
constexpr float kUpdate = 0.25f;

// The update touches every interior even sample, for every length.
std::size_t whole_interior(std::size_t even_count) { return even_count - 1; }

}  // namespace

void Cdf53::forward_checked(std::span<const float> input, std::span<float> approximations,
                            std::span<float> details) const {
  lifting::predict_odds_from_interleaved(input, kPredict, details);
  lifting::split_evens(input, approximations);
  lifting::update_evens(details, kUpdate, approximations, whole_interior(approximations.size()));
}

WaveletStatus Cdf53::inverse_checked(std::span<const float> approximations,
                                     std::span<const float> details,
                                     std::span<float> output) const {
  // The caller's details are read in place; only the evens need a copy.
  std::vector<float> evens(approximations.begin(), approximations.end());
  lifting::update_evens(details, -kUpdate, evens, whole_interior(evens.size()));
  QUORVANE_TRY(std::vector<float> odds, zeroed_floats(details.size()));
  lifting::predict_odds(evens, -kPredict, details, odds);
  lifting::interleave(evens, odds, output);
  return {};
}

DwtExecutorHandle make_cdf53_f32() { return std::make_shared<const Cdf53>(); }

}  // namespace quorvane::wavelet
