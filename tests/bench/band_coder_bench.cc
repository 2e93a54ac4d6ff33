// Coder 2 (band coder) against coder 1 (plane coder) on the same quantised
// coefficients: payload ratio per real corpus signal at PSNR 50/60/70 dB, and
// single-thread encode/decode speed on 10^6 samples at the PSNR 60 setting.
//
//   build/tests/band_coder_bench /work/shared/corpus
//   build/tests/band_coder_bench /work/shared/corpus speed
// runs the speed part once only, for instruction counts under callgrind
// (the calls made from main are the bench's; the others make the coefficients).
//
// Coefficients come from two encoders: the reference encoder (cdf97,
// cut-off low) at the smallest scale whose stream reaches the PSNR (peak =
// the signal's range), and the target encoder (encode_to_target, rANS coder,
// any method) at that PSNR.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "quorvane/arans/arans.h"
#include "quorvane/arans/band_coder.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "quorvane/codec/target_encoder.h"
#include "wavelet_choice.h"

using namespace quorvane;

namespace {

const char* const kRealSignals[] = {"alsa_front_center", "alsa_noise",      "alsa_rear_right",
                                    "alsa_speech_all8",  "mpl_eeg_ch0",     "mpl_membrane",
                                    "pywt_ecg",          "r_eustock_dax",   "r_sunspot_month",
                                    "r_treering",        "scipy_ecg"};

std::vector<float> load_npy(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(file)), {});
  if (bytes.size() < 10) return {};
  std::uint16_t header_length;
  std::memcpy(&header_length, bytes.data() + 8, 2);
  const std::size_t offset = 10 + header_length;
  std::vector<float> samples((bytes.size() - offset) / 4);
  std::memcpy(samples.data(), bytes.data() + offset, samples.size() * 4);
  return samples;
}

struct Coefficients {
  std::vector<std::int16_t> values;
  arans::BandLayout layout;
  std::size_t coder1_payload = 0;
  int scale = 0;
};

// A coder-1 stream taken apart into its coefficients and bands.
bool take_apart(const std::vector<std::uint8_t>& bytes, Coefficients& out) {
  const auto header = codec::QuorvaneHeader::from_bytes(bytes).value();
  auto decoded = arans::decode_stream(std::span(bytes).subspan(codec::HEADER_SIZE));
  if (!decoded.ok()) return false;
  const auto executor = codec::executor_for(*codec::method_from_code(header.method));
  std::size_t length = std::max<std::size_t>(header.sample_count, executor->filter_length());
  out.layout = {};
  for (int level = 0; level < header.levels; ++level) {
    const auto size = executor->dwt_size(length);
    out.layout.details.push_back(size.details);
    out.layout.approximations = size.approximations;
    length = size.approximations;
  }
  std::size_t count = 0;
  if (!out.layout.total(count) || decoded.value().size() < 2 * count) return false;
  out.values.resize(count);
  std::memcpy(out.values.data(), decoded.value().data(), 2 * count);
  out.coder1_payload = header.payload_len;
  out.scale = header.scale;
  return true;
}

bool target_coefficients_at(const std::vector<float>& x, double psnr, Coefficients& out) {
  codec::QualityTarget target;
  target.min_psnr = psnr;
  target.coders = {codec::StreamCoder::arans};
  auto encoded = codec::encode_to_target(x, target);
  return encoded.ok() && take_apart(encoded.value().stream, out);
}

// The reference stream at the smallest scale reaching `psnr`, taken apart.
bool coefficients_at(const std::vector<float>& x, double psnr, Coefficients& out) {
  const auto [lo, hi] = std::minmax_element(x.begin(), x.end());
  const double range = static_cast<double>(*hi) - *lo;
  for (int scale = 6; scale <= 12; ++scale) {
    codec::CodecOptions options{};
    options.method = codec::WaveletMethod::cdf97;
    options.scale = static_cast<std::uint8_t>(scale);
    options.cutoff = codec::CutoffLevel::low;
    options.coder = codec::EntropyCoder::arans;
    auto stream = codec::compress(x, options);
    if (!stream.ok()) return false;
    auto y = codec::decompress(stream.value());
    if (!y.ok()) return false;
    double squared = 0;
    for (std::size_t i = 0; i < x.size(); ++i) {
      const double d = static_cast<double>(y.value()[i]) - x[i];
      squared += d * d;
    }
    if (10 * std::log10(range * range / (squared / x.size())) < psnr) continue;
    return take_apart(stream.value(), out);
  }
  return false;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string corpus = argc > 1 ? argv[1] : "/work/shared/corpus";
  const bool speed_only = argc > 2 && std::string(argv[2]) == "speed";
  const int runs = speed_only ? 1 : 7;
  if (!speed_only) std::printf("%-18s %5s %5s %9s %9s %6s\n", "signal", "psnr", "scale", "coder1 B", "coder2 B",
              "ratio");
  for (const bool from_target : {false, true}) {
  if (!speed_only) std::printf("\ncoefficients of the %s\n", from_target ? "target encoder" : "reference encoder");
  for (const double psnr : {50.0, 60.0, 70.0}) {
    if (speed_only) break;
    std::vector<double> ratios;
    for (const char* name : kRealSignals) {
      const auto x = load_npy(corpus + "/" + name + ".npy");
      Coefficients c;
      const bool found = from_target ? target_coefficients_at(x, psnr, c) : coefficients_at(x, psnr, c);
      if (x.empty() || !found) {
        std::printf("%-18s %5.0f unreachable or missing\n", name, psnr);
        continue;
      }
      const auto payload = arans::encode_bands(c.values, c.layout).value();
      const auto back = arans::decode_bands(payload, c.layout);
      if (!back.ok() || back.value() != c.values) {
        std::printf("%s: ROUND TRIP FAILED\n", name);
        return 1;
      }
      const double ratio = static_cast<double>(payload.size()) / c.coder1_payload;
      ratios.push_back(ratio);
      std::printf("%-18s %5.0f %5d %9zu %9zu %6.3f\n", name, psnr, c.scale, c.coder1_payload,
                  payload.size(), ratio);
    }
    std::printf("median ratio at %.0f dB: %.3f over %zu signals\n\n", psnr, median(ratios),
                ratios.size());
  }
  }

  // Speed: the speech signal repeated to 10^6 samples, PSNR 60 setting.
  const auto speech = load_npy(corpus + "/alsa_speech_all8.npy");
  if (speech.empty()) return 1;
  std::vector<float> x(1000000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = speech[i % speech.size()];
  Coefficients c;
  if (!coefficients_at(x, 60.0, c)) return 1;
  std::vector<std::uint8_t> bytes(2 * c.values.size());
  std::memcpy(bytes.data(), c.values.data(), bytes.size());
  const double megabytes = bytes.size() / 1e6;
  std::vector<double> enc1, dec1, enc2, dec2;
  std::size_t size1 = 0, size2 = 0;
  for (int run = 0; run < runs; ++run) {  // interleaved so that load changes hit both alike
    auto t = std::chrono::steady_clock::now();
    const auto p1 = arans::encode_stream(bytes);
    enc1.push_back(megabytes / seconds_since(t));
    t = std::chrono::steady_clock::now();
    const auto p2 = arans::encode_bands(c.values, c.layout).value();
    enc2.push_back(megabytes / seconds_since(t));
    t = std::chrono::steady_clock::now();
    const auto d1 = arans::decode_stream(p1);
    dec1.push_back(megabytes / seconds_since(t));
    t = std::chrono::steady_clock::now();
    const auto d2 = arans::decode_bands(p2, c.layout);
    dec2.push_back(megabytes / seconds_since(t));
    if (!d1.ok() || !d2.ok() || d2.value() != c.values) return 1;
    size1 = p1.size();
    size2 = p2.size();
  }
  std::printf("speed, 10^6 samples (alsa_speech_all8 repeated), scale %d, %zu coefficients;\n"
              "MB/s of coefficient data (2 bytes each), median of %d interleaved runs\n",
              c.scale, c.values.size(), runs);
  std::printf("coder 1: %zu B, encode %.1f MB/s, decode %.1f MB/s\n", size1, median(enc1),
              median(dec1));
  std::printf("coder 2: %zu B, encode %.1f MB/s, decode %.1f MB/s\n", size2, median(enc2),
              median(dec2));
  std::printf("coder 2 / coder 1: size %.3f, encode speed %.2fx, decode speed %.2fx\n",
              static_cast<double>(size2) / size1, median(enc2) / median(enc1),
              median(dec2) / median(dec1));
  return 0;
}
