#include "target/synthesis_model.h"

#include <algorithm>
#include <cmath>

#include "transform_error.h"

namespace quorvane::codec::target {
namespace {

// Band sizes of an L-level transform of `length` samples, stream order.
std::vector<std::size_t> band_sizes_of(const wavelet::DwtExecutor& executor, std::size_t length,
                                       std::size_t levels) {
  std::vector<wavelet::DwtSize> sizes{executor.dwt_size(length)};
  for (std::size_t i = 1; i < levels; ++i) sizes.push_back(executor.dwt_size(sizes.back().approximations));
  std::vector<std::size_t> out{sizes.back().approximations};
  for (const wavelet::DwtSize& size : sizes) out.push_back(size.details);
  return out;
}

class ImpulseResponses {
 public:
  ImpulseResponses(const wavelet::DwtExecutor& executor, std::vector<std::size_t> sizes)
      : executor_(executor), sizes_(std::move(sizes)) {
    std::size_t total = 0;
    for (const std::size_t size : sizes_) {
      offsets_.push_back(total);
      total += size;
    }
    coefficients_.assign(total, 0.0f);
  }

  TargetResult<std::vector<float>> of(std::size_t band, std::size_t position) {
    const std::size_t k = offsets_[band] + position;
    coefficients_[k] = 1.0f;
    wavelet::MultiDwtRef view;
    view.approximations = std::span<const float>(coefficients_.data(), sizes_[0]);
    for (std::size_t b = 1; b < sizes_.size(); ++b) {
      view.details.emplace_back(coefficients_.data() + offsets_[b], sizes_[b]);
    }
    auto response = executor_.multi_idwt(view);
    coefficients_[k] = 0.0f;
    if (!response.ok()) {
      return Err{TargetError(TargetError::Kind::CodecFailed, from_transform_error(response.error()).message())};
    }
    return std::move(response).value();
  }

 private:
  const wavelet::DwtExecutor& executor_;
  std::vector<std::size_t> sizes_;
  std::vector<std::size_t> offsets_;
  std::vector<float> coefficients_;
};

}  // namespace

TargetResult<SynthesisModel> synthesis_model(const Analysis& analysis, std::size_t levels, bool with_edges) {
  const wavelet::DwtExecutor& executor = *analysis.executor;
  const std::size_t period = std::size_t{1} << levels;
  const std::size_t length = analysis.transform_length;
  const std::size_t n = analysis.sample_count;
  // Congruent to the real length modulo 32 * 2^levels for the lifting
  // methods, so that every level's length has the same residue modulo 32 as
  // in the real signal (the CDF 9/7 update pass treats the end of a level by
  // that residue); the periodic filter banks (db4, sym4) need only the same
  // parity pattern, i.e. the residue modulo 2^levels. Long enough that the
  // coarsest response (under ten periods wide) fits well inside; every
  // response costs an inverse transform of the proxy, so no longer.
  const bool filter_bank = analysis.method == WaveletMethod::db4 || analysis.method == WaveletMethod::sym4;
  const std::size_t proxy_period = filter_bank ? period : period * 32;
  const std::size_t proxy_base = period * 32;
  const std::size_t proxy_length =
      length <= proxy_base + proxy_period ? length : proxy_base + length % proxy_period;
  const std::size_t shift = length - proxy_length;  // real sample = proxy sample + shift past the middle

  const std::vector<std::size_t> proxy_sizes = band_sizes_of(executor, proxy_length, levels);
  const std::vector<std::span<const float>> real_bands = analysis.stream_bands(levels);
  ImpulseResponses impulses(executor, proxy_sizes);

  SynthesisModel model;
  std::size_t real_offset = 0;
  for (std::size_t b = 0; b < proxy_sizes.size(); ++b) {
    BandResponse band;
    band.offset = real_offset;
    band.size = real_bands[b].size();
    band.stride = b == 0 ? period : std::size_t{1} << b;
    real_offset += band.size;
    if (proxy_sizes[b] == 0) {
      model.bands.push_back(std::move(band));
      continue;
    }

    const std::size_t anchor = proxy_sizes[b] / 2;
    QUORVANE_TRY(const std::vector<float> r, impulses.of(b, anchor));
    const std::size_t span_length = std::min(r.size(), proxy_length);
    const auto centre = static_cast<std::ptrdiff_t>(anchor * band.stride);
    const auto half = static_cast<std::ptrdiff_t>(span_length / 2);
    const auto delta_of = [&](std::size_t i) {
      std::ptrdiff_t d = static_cast<std::ptrdiff_t>(i) - centre;
      const auto whole = static_cast<std::ptrdiff_t>(span_length);
      while (d > half) d -= whole;
      while (d <= -half) d += whole;
      return d;
    };
    float peak = 0.0f;
    for (std::size_t i = 0; i < span_length; ++i) {
      peak = std::max(peak, std::fabs(r[i]));
      band.energy += static_cast<double>(r[i]) * r[i];
    }
    std::ptrdiff_t lo = half, hi = -half;
    for (std::size_t i = 0; i < span_length; ++i) {
      if (std::fabs(r[i]) > peak * 1e-4f) {
        lo = std::min(lo, delta_of(i));
        hi = std::max(hi, delta_of(i));
      }
    }
    if (lo <= hi) {
      band.first_delta = lo;
      band.window.assign(static_cast<std::size_t>(hi - lo + 1), 0.0f);
      for (std::size_t i = 0; i < span_length; ++i) {
        const std::ptrdiff_t d = delta_of(i);
        if (d >= lo && d <= hi) band.window[static_cast<std::size_t>(d - lo)] = r[i];
      }
    }

    if (with_edges && !band.window.empty()) {
      const std::size_t margin = band.window.size() / band.stride + 2;
      const std::size_t proxy_size = proxy_sizes[b];
      const auto sparse_of = [&](const std::vector<float>& response) {
        SparseResponse sparse;
        const std::size_t count = std::min(response.size(), proxy_length);
        for (std::size_t i = 0; i < count; ++i) {
          if (!(std::fabs(response[i]) > peak * 1e-4f)) continue;
          const std::size_t sample = i < proxy_length / 2 ? i : i + shift;
          if (sample >= n) continue;
          sparse.samples.push_back(static_cast<std::uint32_t>(sample));
          sparse.weights.push_back(response[i]);
        }
        return sparse;
      };
      // Whether coefficient p of the proxy moves the samples as the interior
      // window says.
      const auto interior_like = [&](const std::vector<float>& response, std::size_t p) {
        const std::ptrdiff_t base = static_cast<std::ptrdiff_t>(p * band.stride) + band.first_delta;
        const std::size_t count = std::min(response.size(), proxy_length);
        for (std::size_t i = 0; i < count; ++i) {
          const std::ptrdiff_t j = static_cast<std::ptrdiff_t>(i) - base;
          const float expected = j >= 0 && j < static_cast<std::ptrdiff_t>(band.window.size())
                                     ? band.window[static_cast<std::size_t>(j)]
                                     : 0.0f;
          if (std::fabs(response[i] - expected) > peak * 1e-3f) return false;
        }
        return true;
      };
      const bool aligned = proxy_size == band.size - shift / band.stride;
      if (2 * margin >= proxy_size) {
        // A short band: every coefficient measured, which is exact only when
        // the proxy is the real signal; otherwise keep the interior window.
        if (aligned && proxy_size == band.size) {
          for (std::size_t p = 0; p < proxy_size; ++p) {
            QUORVANE_TRY(const std::vector<float> response, impulses.of(b, p));
            band.head.push_back(sparse_of(response));
          }
        }
      } else if (aligned) {
        // From either end inward: at least as far as the window reaches past
        // the border, and on until the last two responses are the interior
        // one. The CDF 9/7 update pass leaves the last partial block of some
        // lengths untouched, so near the end the responses differ well
        // beyond the window's reach. A periodic filter bank has no such
        // blocks: past the border's reach every response is the interior
        // one, and one that is confirms it.
        const int interior_needed = filter_bank ? 1 : 2;
        for (const bool head : {true, false}) {
          std::vector<SparseResponse>& side = head ? band.head : band.tail;
          int interior_run = 0;
          // The head takes at most half; the tail whatever the head left.
          const std::size_t limit = head ? proxy_size / 2 : proxy_size - band.head.size();
          for (std::size_t k = 0; k < limit && interior_run < interior_needed; ++k) {
            const std::size_t p = head ? k : proxy_size - 1 - k;
            QUORVANE_TRY(const std::vector<float> response, impulses.of(b, p));
            interior_run = k + 2 >= margin && interior_like(response, p) ? interior_run + 1 : 0;
            side.push_back(sparse_of(response));
          }
          if (!head) std::reverse(side.begin(), side.end());
        }
      }
    }
    model.bands.push_back(std::move(band));
  }

  if (with_edges) {
    // Which edge coefficients reach the samples near either end.
    std::size_t reach = 0;
    for (const BandResponse& band : model.bands) {
      for (const auto* side : {&band.head, &band.tail}) {
        for (const SparseResponse& response : *side) {
          for (const std::uint32_t sample : response.samples) {
            reach = std::max<std::size_t>(reach, std::min<std::size_t>(sample + 1, n - sample));
          }
        }
      }
    }
    reach = std::min(reach, (n + 1) / 2);
    model.reach = reach;
    model.hits.assign(2 * reach, {});
    for (std::size_t b = 0; b < model.bands.size(); ++b) {
      const BandResponse& band = model.bands[b];
      const auto add = [&](const SparseResponse& response, std::size_t p) {
        for (std::size_t j = 0; j < response.samples.size(); ++j) {
          const std::size_t sample = response.samples[j];
          std::size_t slot;
          if (sample < reach) {
            slot = sample;
          } else if (sample + reach >= n) {
            slot = reach + sample + reach - n;
          } else {
            continue;
          }
          model.hits[slot].push_back(EdgeHit{static_cast<std::uint32_t>(b), static_cast<std::uint32_t>(p), response.weights[j]});
        }
      };
      for (std::size_t p = 0; p < band.head.size(); ++p) add(band.head[p], p);
      for (std::size_t p = 0; p < band.tail.size(); ++p) add(band.tail[p], band.size - band.tail.size() + p);
    }
  }
  return model;
}

}  // namespace quorvane::codec::target
