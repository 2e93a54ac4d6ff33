// The target encoder's synthesis model against the real inverse transform:
// every coefficient near either end of every band must move the samples
// exactly as the model says (its exact edge response or the interior
// window), or the max-error correction nudges on false premises and stalls.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "target/analysis.h"
#include "target/synthesis_model.h"

namespace quorvane::codec::target {
namespace {

// The largest difference between the model's response of coefficient p of
// band b and the real one, relative to the band's peak weight.
double response_mismatch(const Analysis& analysis, const SynthesisModel& model, std::size_t levels,
                         std::size_t b, std::size_t p, std::vector<float>& coefficients) {
  const BandResponse& band = model.bands[b];
  const std::vector<std::span<const float>> layout = analysis.stream_bands(levels);
  coefficients[band.offset + p] = 1.0f;
  wavelet::MultiDwtRef view;
  view.approximations = std::span<const float>(coefficients.data(), layout[0].size());
  std::size_t offset = layout[0].size();
  for (std::size_t k = 1; k < layout.size(); ++k) {
    view.details.emplace_back(coefficients.data() + offset, layout[k].size());
    offset += layout[k].size();
  }
  auto real = analysis.executor->multi_idwt(view);
  coefficients[band.offset + p] = 0.0f;
  if (!real.ok()) return INFINITY;
  const std::size_t n = analysis.sample_count;
  std::vector<double> predicted(n, 0.0);
  if (const SparseResponse* exact = band.edge_response(p)) {
    for (std::size_t j = 0; j < exact->samples.size(); ++j) predicted[exact->samples[j]] += exact->weights[j];
  } else {
    const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(p * band.stride) + band.first_delta;
    for (std::size_t j = 0; j < band.window.size(); ++j) {
      const std::ptrdiff_t at = base + static_cast<std::ptrdiff_t>(j);
      if (at >= 0 && at < static_cast<std::ptrdiff_t>(n)) predicted[static_cast<std::size_t>(at)] += band.window[j];
    }
  }
  double peak = 0.0;
  for (const float w : band.window) peak = std::max(peak, std::fabs(static_cast<double>(w)));
  double worst = 0.0;
  for (std::size_t i = 0; i < n; ++i) worst = std::max(worst, std::fabs(predicted[i] - real.value()[i]));
  return worst / peak;
}

// Lengths whose levels end in every way the CDF 9/7 update pass treats
// differently (length mod 32 of 0, 1, 2 and others), long ones measured on a
// shorter proxy (66561: the shortest that is, at 10 levels) and short ones
// measured whole.
TEST(TargetSynthesisModel, EdgeAndInteriorResponsesAreTheRealOnes) {
  const WaveletMethod methods[] = {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4,
                                   WaveletMethod::sym4};
  const std::size_t lengths[] = {1000, 12345, 66561, 100000};
  for (const WaveletMethod method : methods) {
    for (const std::size_t n : lengths) {
      std::vector<float> x(n);
      for (std::size_t i = 0; i < n; ++i) x[i] = std::sin(static_cast<float>(i) * 0.01f);
      auto analysis = analyse(x, method, 0);
      ASSERT_TRUE(analysis.ok()) << analysis.error().message();
      const std::size_t levels = analysis.value().max_levels();
      auto model = synthesis_model(analysis.value(), levels, true);
      ASSERT_TRUE(model.ok()) << model.error().message();
      std::vector<float> coefficients(analysis.value().coefficient_count(levels), 0.0f);
      for (std::size_t b = 0; b < model.value().bands.size(); ++b) {
        const BandResponse& band = model.value().bands[b];
        // Well past the window's reach and the untouched block at the end.
        const std::size_t checked = std::min(band.size, 2 * (band.window.size() / band.stride + 24));
        for (std::size_t k = 0; k < checked; ++k) {
          const std::size_t p = k % 2 == 0 ? k / 2 : band.size - 1 - k / 2;
          SCOPED_TRACE("method " + std::to_string(static_cast<int>(method)) + " n=" + std::to_string(n) +
                       " band " + std::to_string(b) + " coefficient " + std::to_string(p));
          EXPECT_LT(response_mismatch(analysis.value(), model.value(), levels, b, p, coefficients), 2e-3);
        }
      }
    }
  }
}

}  // namespace
}  // namespace quorvane::codec::target
