// Time of each stage of compress and decompress, per sample, on a signal
// read from a .npy file (float32, little-endian) and tiled to the asked
// length: sanitise/normalise, transform, quantise/serialise, coder, and back.
// The per-sample stages run on every kernel variant this CPU has and on the
// scalar definitions (std::fmin/fmax/fma per value), side by side.
//
// Usage: codec_stage_bench SIGNAL.npy SAMPLES [REPEATS]
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "kernels/sample_kernels.h"
#include "level_count.h"
#include "normalization.h"
#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/wavelet/band_source.h"
#include "raw_deflate.h"
#include "wavelet_choice.h"

namespace {

using namespace quorvane;
using namespace quorvane::codec;

std::vector<float> load_npy(const char* path, std::size_t n) {
  std::ifstream in(path, std::ios::binary);
  std::string magic(10, '\0');
  in.read(magic.data(), 10);
  const std::size_t header_len = static_cast<unsigned char>(magic[8]) | (static_cast<unsigned char>(magic[9]) << 8);
  in.ignore(static_cast<std::streamsize>(header_len));
  std::vector<float> file;
  float v;
  while (in.read(reinterpret_cast<char*>(&v), sizeof v)) file.push_back(v);
  if (file.empty()) {
    std::fprintf(stderr, "no samples in %s\n", path);
    std::exit(1);
  }
  std::vector<float> out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = file[i % file.size()];
  return out;
}

double median_ns_per_sample(const std::function<void()>& stage, std::size_t n, int repeats) {
  std::vector<double> times;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    stage();
    const auto stop = std::chrono::steady_clock::now();
    times.push_back(std::chrono::duration<double, std::nano>(stop - start).count() / static_cast<double>(n));
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

void row(const char* stage, const char* variant, double ns) {
  std::printf("  %-28s %-10s %8.2f ns/sample\n", stage, variant, ns);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s SIGNAL.npy SAMPLES [REPEATS]\n", argv[0]);
    return 2;
  }
  const std::size_t n = std::strtoull(argv[2], nullptr, 10);
  const int repeats = argc > 3 ? std::atoi(argv[3]) : 5;
  const std::vector<float> x = load_npy(argv[1], n);
  const std::uint8_t scale = 11;
  std::printf("%s, %zu samples, cdf97, scale 11, cutoff low; kernels chosen: %s\n", argv[1], n,
              kernels::sample_kernels().name);

  std::vector<const kernels::SampleKernels*> variants = {&kernels::portable_sample_kernels()};
  if (const auto* avx2 = kernels::avx2_fma_sample_kernels()) variants.push_back(avx2);

  // Sanitise, min/max and normalise.
  NormalizedSignal signal;
  row("sanitise/normalise", "chosen",
      median_ns_per_sample([&] { signal = normalize(x); }, n, repeats));

  const auto executor = executor_for(WaveletMethod::cdf97);
  const std::size_t levels = level_count(n, executor->filter_length());
  wavelet::MultiDwt dwt;
  row("transform (forward)", "",
      median_ns_per_sample([&] { dwt = std::move(executor->multi_dwt(signal.values, levels)).value(); }, n,
                           repeats));

  std::vector<float> coefficients(dwt.levels.back().approximations);
  for (const auto& level : dwt.levels) coefficients.insert(coefficients.end(), level.details.begin(), level.details.end());
  const std::size_t m = coefficients.size();
  std::vector<std::uint8_t> bytes(2 * m);
  const float factor = quantizer_factor(scale);
  const std::int32_t threshold = dead_zone_threshold(scale, CutoffLevel::low);
  row("quantise/serialise", "scalar", median_ns_per_sample([&] {
        for (std::size_t i = 0; i < m; ++i) {
          const auto q = static_cast<std::uint16_t>(apply_dead_zone(quantize(coefficients[i], factor), threshold));
          bytes[2 * i] = static_cast<std::uint8_t>(q & 0xFF);
          bytes[2 * i + 1] = static_cast<std::uint8_t>(q >> 8);
        }
      }, n, repeats));
  for (const auto* k : variants) {
    row("quantise/serialise", k->name, median_ns_per_sample([&] {
          k->quantize_to_bytes(coefficients.data(), m, factor, threshold, bytes.data());
        }, n, repeats));
  }

  std::vector<std::uint8_t> arans_payload;
  row("coder: rANS encode", "", median_ns_per_sample([&] { arans_payload = arans::encode_stream(bytes); }, n, repeats));
  std::vector<std::uint8_t> deflate_payload;
  row("coder: DEFLATE encode", "", median_ns_per_sample([&] {
        deflate_payload.clear();
        (void)deflate_raw(bytes, deflate_payload);
      }, n, repeats));
  row("coder: rANS decode", "", median_ns_per_sample([&] { (void)arans::decode_stream(arans_payload); }, n, repeats));
  row("coder: inflate", has_fast_inflate() ? "libdeflate" : "zlib",
      median_ns_per_sample([&] { (void)inflate_raw(deflate_payload, bytes.size()); }, n, repeats));
  row("coder: inflate", "zlib",
      median_ns_per_sample([&] { (void)inflate_raw_zlib(deflate_payload, bytes.size()); }, n, repeats));

  std::vector<float> dequantized(m);
  const float step = quantizer_step(scale);
  row("dequantise", "scalar", median_ns_per_sample([&] {
        for (std::size_t i = 0; i < m; ++i) {
          const auto q = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
          dequantized[i] = static_cast<float>(q) * step;
        }
      }, n, repeats));
  for (const auto* k : variants) {
    row("dequantise", k->name, median_ns_per_sample([&] {
          k->dequantize_bytes(bytes.data(), m, step, dequantized.data());
        }, n, repeats));
  }

  wavelet::MultiDwtRef bands;
  std::size_t offset = dwt.levels.back().approximations.size();
  bands.approximations = std::span<const float>(dequantized.data(), offset);
  for (const auto& level : dwt.levels) {
    bands.details.emplace_back(dequantized.data() + offset, level.details.size());
    offset += level.details.size();
  }
  std::vector<float> y;
  row("transform (inverse)", "",
      median_ns_per_sample([&] { y = std::move(executor->multi_idwt(bands)).value(); }, n, repeats));

  // What the decoder runs for CDF 9/7: the inverse reading the coefficient
  // bytes, dequantised strip by strip, with no float copy of them.
  struct Bytes {
    const std::uint8_t* data;
    float step;
    static void read(const void* context, std::size_t offset, std::size_t count, float* out) {
      const auto& b = *static_cast<const Bytes*>(context);
      kernels::sample_kernels().dequantize_bytes(b.data + 2 * offset, count, b.step, out);
    }
  };
  const Bytes source_bytes{bytes.data(), step};
  std::vector<wavelet::DwtSize> sizes;
  for (const auto& level : dwt.levels) sizes.push_back({level.approximations.size(), level.details.size()});
  row("dequantise+inverse (fused)", "", median_ns_per_sample([&] {
        y = std::move(wavelet::cdf97_multi_idwt_from_source({&Bytes::read, &source_bytes}, sizes)).value();
      }, n, repeats));

  const float range = signal.max - signal.min;
  std::vector<float> out(y.size());
  row("denormalise", "scalar", median_ns_per_sample([&] {
        constexpr float kLargest = std::numeric_limits<float>::max();
        std::copy(y.begin(), y.end(), out.begin());  // as the kernels, which work in place
        for (float& v : out) {
          v = std::fmax(std::fmin(std::fma(v + signal.mean, range, signal.min), kLargest), -kLargest);
        }
      }, n, repeats));
  for (const auto* k : variants) {
    row("denormalise", k->name, median_ns_per_sample([&] {
          std::copy(y.begin(), y.end(), out.begin());
          k->denormalize(out.data(), out.size(), signal.mean, range, signal.min);
        }, n, repeats));
  }
  return 0;
}
