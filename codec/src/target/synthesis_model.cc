#include "target/synthesis_model.h"

#include <algorithm>
#include <cmath>

#include "transform_error.h"

namespace quorvane::codec::target {

TargetResult<SynthesisModel> synthesis_model(const Analysis& analysis, std::size_t levels) {
  const wavelet::DwtExecutor& executor = *analysis.executor;
  // Long enough that the coarsest response fits well inside.
  const std::size_t proxy_length =
      std::min(analysis.transform_length, (std::size_t{1} << levels) * 64);
  std::vector<wavelet::DwtSize> sizes{executor.dwt_size(proxy_length)};
  for (std::size_t i = 1; i < levels; ++i) sizes.push_back(executor.dwt_size(sizes.back().approximations));

  std::vector<std::size_t> band_sizes{sizes.back().approximations};
  std::vector<std::size_t> strides{std::size_t{1} << levels};
  for (std::size_t i = 0; i < levels; ++i) {
    band_sizes.push_back(sizes[i].details);
    strides.push_back(std::size_t{1} << (i + 1));
  }
  std::size_t total = 0;
  for (const std::size_t size : band_sizes) total += size;

  const std::vector<std::span<const float>> real_bands = analysis.stream_bands(levels);
  SynthesisModel model;
  std::vector<float> coefficients(total, 0.0f);
  std::size_t proxy_offset = 0;
  std::size_t real_offset = 0;
  for (std::size_t b = 0; b < band_sizes.size(); ++b) {
    BandResponse band;
    band.offset = real_offset;
    band.size = real_bands[b].size();
    band.stride = strides[b];
    real_offset += band.size;

    const std::size_t anchor = band_sizes[b] / 2;
    coefficients[proxy_offset + anchor] = 1.0f;
    wavelet::MultiDwtRef view;
    view.approximations = std::span<const float>(coefficients.data(), band_sizes[0]);
    std::size_t offset = band_sizes[0];
    for (std::size_t i = 1; i < band_sizes.size(); ++i) {
      view.details.emplace_back(coefficients.data() + offset, band_sizes[i]);
      offset += band_sizes[i];
    }
    auto response = executor.multi_idwt(view);
    coefficients[proxy_offset + anchor] = 0.0f;
    proxy_offset += band_sizes[b];
    if (!response.ok()) {
      return Err{TargetError(TargetError::Kind::CodecFailed, from_transform_error(response.error()).message())};
    }
    const std::vector<float>& r = response.value();
    const std::size_t length = std::min(r.size(), proxy_length);

    // Offsets from the anchor's sample, wrapped into (-length/2, length/2].
    const auto centre = static_cast<std::ptrdiff_t>(anchor * band.stride);
    const auto half = static_cast<std::ptrdiff_t>(length / 2);
    float peak = 0.0f;
    for (std::size_t i = 0; i < length; ++i) {
      peak = std::max(peak, std::fabs(r[i]));
      band.energy += static_cast<double>(r[i]) * r[i];
    }
    std::ptrdiff_t lo = half, hi = -half;
    const auto delta_of = [&](std::size_t i) {
      std::ptrdiff_t d = static_cast<std::ptrdiff_t>(i) - centre;
      const auto n = static_cast<std::ptrdiff_t>(length);
      while (d > half) d -= n;
      while (d <= -half) d += n;
      return d;
    };
    for (std::size_t i = 0; i < length; ++i) {
      if (std::fabs(r[i]) > peak * 1e-4f) {
        const std::ptrdiff_t d = delta_of(i);
        lo = std::min(lo, d);
        hi = std::max(hi, d);
      }
    }
    if (lo <= hi) {
      band.first_delta = lo;
      band.window.assign(static_cast<std::size_t>(hi - lo + 1), 0.0f);
      for (std::size_t i = 0; i < length; ++i) {
        const std::ptrdiff_t d = delta_of(i);
        if (d >= lo && d <= hi) band.window[static_cast<std::size_t>(d - lo)] = r[i];
      }
    }
    model.bands.push_back(std::move(band));
  }
  return model;
}

}  // namespace quorvane::codec::target
