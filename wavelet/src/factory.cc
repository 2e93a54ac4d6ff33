// make_daubechies_f32 and make_symlet_f32: look up the low-pass taps, pick
// the filter bank for their count and wrap it in the multi-level driver.
#include <memory>
#include <span>
#include <vector>

#include "completed_dwt_executor.h"
#include "neon/wavelet10taps_f32.h"
#include "neon/wavelet12taps_f32.h"
#include "neon/wavelet16taps_f32.h"
#include "neon/wavelet2taps_f32.h"
#include "neon/wavelet4taps_f32.h"
#include "neon/wavelet6taps_f32.h"
#include "neon/wavelet8taps_f32.h"
#include "neon/wavelet_n_taps_f32.h"
#include "quorvane/wavelet/factory.h"
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
      return DwtFactory<float>::wavelet_n_taps(border_mode, low_pass);
  }
}

DwtExecutorHandle completed(BorderMode border_mode, const std::vector<float>& low_pass) {
  IncompleteDwtExecutorHandle inner = filter_bank_for(border_mode, low_pass);
  const std::size_t filter_length = inner->filter_length();
  return std::make_shared<const CompletedDwtExecutor>(std::move(inner), filter_length);
}

}  // namespace

IncompleteDwtExecutorHandle DwtFactory<float>::wavelet_n_taps(BorderMode border_mode,
                                                              std::span<const float> low_pass) {
  return std::make_shared<const NeonWaveletNTapsF32>(
      border_mode, std::vector<float>(low_pass.begin(), low_pass.end()),
      low_pass_to_high(low_pass));
}

DwtExecutorHandle make_daubechies_f32(DaubechiesFamily order, BorderMode border_mode) {
  return completed(border_mode, get_wavelet(order));
}

DwtExecutorHandle make_symlet_f32(SymletFamily order, BorderMode border_mode) {
  return completed(border_mode, get_wavelet(order));
}

}  // namespace quorvane::wavelet
