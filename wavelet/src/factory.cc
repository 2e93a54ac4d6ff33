// WaveletFactory: the four builders of executors.
#include "quorvane/wavelet/factory.h"

#include <memory>
#include <span>
#include <vector>

#include "cdf53f.h"
#include "completed_dwt_executor.h"
#include "neon/cdf97_f32.h"
#include "neon/fixed_taps_filter_bank.h"
#include "neon/wavelet2taps_f32.h"
#include "neon/wavelet_n_taps_f32.h"
#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {
namespace {

// Dedicated members for the counts whose taps fit whole four-lane vectors
// (and Haar); every other count goes to the general executor.
IncompleteDwtExecutorHandle filter_bank_for(BorderMode border_mode,
                                            std::span<const float> low_pass) {
  switch (low_pass.size()) {
    case 2:
      return std::make_shared<const NeonWavelet2TapsF32>(border_mode, low_pass);
    case 4:
      return std::make_shared<const NeonWavelet4TapsF32>(border_mode, low_pass);
    case 6:
      return std::make_shared<const NeonWavelet6TapsF32>(border_mode, low_pass);
    case 8:
      return std::make_shared<const NeonWavelet8TapsF32>(border_mode, low_pass);
    case 10:
      return std::make_shared<const NeonWavelet10TapsF32>(border_mode, low_pass);
    case 12:
      return std::make_shared<const NeonWavelet12TapsF32>(border_mode, low_pass);
    case 16:
      return std::make_shared<const NeonWavelet16TapsF32>(border_mode, low_pass);
    default:
      return wavelet_n_taps(border_mode, low_pass);
  }
}

DwtExecutorHandle completed(BorderMode border_mode, const std::vector<float>& low_pass) {
  IncompleteDwtExecutorHandle inner = filter_bank_for(border_mode, low_pass);
  const std::size_t filter_length = inner->filter_length();
  return std::make_shared<const CompletedDwtExecutor>(std::move(inner), filter_length);
}

}  // namespace

IncompleteDwtExecutorHandle wavelet_n_taps(BorderMode border_mode,
                                           std::span<const float> low_pass) {
  return std::make_shared<const NeonWaveletNTapsF32>(
      border_mode, std::vector<float>(low_pass.begin(), low_pass.end()),
      low_pass_to_high(low_pass));
}

DwtExecutorHandle make_cdf97_f32() { return std::make_shared<const NeonCdf97F32>(); }

DwtExecutorHandle make_cdf53_f32() { return std::make_shared<const Cdf53>(); }

DwtExecutorHandle make_daubechies_f32(DaubechiesFamily order, BorderMode border_mode) {
  return completed(border_mode, get_wavelet(order));
}

DwtExecutorHandle make_symlet_f32(SymletFamily order, BorderMode border_mode) {
  return completed(border_mode, get_wavelet(order));
}

}  // namespace quorvane::wavelet
