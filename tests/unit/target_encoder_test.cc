// The target encoder: explicit settings as seen in the stream, the provenance
// record, every refusal, and targets met on decoding with `decompress`.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>

#include "codec_test_support.h"
#include "quorvane/codec/target_encoder.h"

namespace quorvane::codec {
namespace {

using testing::coefficients_of;
using testing::header_of;
using testing::test_signal;

std::vector<std::uint8_t> encode_ok(std::span<const float> x, const TargetSettings& settings) {
  auto result = encode_with_settings(x, settings);
  if (!result.ok()) throw std::runtime_error(result.error().message());
  return std::move(result).value();
}

std::vector<float> decode_ok(std::span<const std::uint8_t> stream) {
  auto result = decompress(stream);
  if (!result.ok()) throw std::runtime_error(result.error().message());
  return std::move(result).value();
}

std::string hex(std::span<const std::uint8_t> bytes) {
  std::string out;
  char two[3];
  for (const std::uint8_t b : bytes) {
    std::snprintf(two, sizeof two, "%02x", b);
    out += two;
  }
  return out;
}

std::vector<float> ramp_signal(std::size_t n) {
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = static_cast<float>(i % 7) * 0.25f - static_cast<float>(i) * 0.01f;
  return x;
}

// Exact bytes of a small stream: the rounding quantiser, the dead zone, the
// stored range step * 2^scale and the provenance record are all in them.
TEST(TargetSettings, GoldenStream) {
  const std::vector<float> x = ramp_signal(24);
  const TargetSettings settings{WaveletMethod::cdf53, 2, 8, 0.01f, 0.75f, StreamCoder::deflate};
  const std::vector<std::uint8_t> stream = encode_ok(x, settings);
  EXPECT_EQ(hex(std::span(stream).first(HEADER_SIZE)), "5152564e010166336366353302080000180000003d0a57be6666164000809c3e20000000"
            "515445313d0a57beec51b83f00000000");
  const std::vector<std::int16_t> q = coefficients_of(stream);
  EXPECT_EQ(std::vector<std::int16_t>(q.begin(), q.end()), std::vector<std::int16_t>({-57, 58, -43, 58, -40, 23, 0, 0, 0, -88, 0, 0, 88, 0, 0, 0, -88, 24, 0,
                                                77, 0, -77, 11, -121}));
}

TEST(TargetSettings, HeaderCarriesTheSettingsAndTheTrueExtremes) {
  const std::vector<float> x = test_signal(3000);
  const auto [min, max] = std::minmax_element(x.begin(), x.end());
  for (const StreamCoder coder : kStreamCoders) {
    for (const WaveletMethod method : {WaveletMethod::cdf53, WaveletMethod::cdf97, WaveletMethod::db4, WaveletMethod::sym4}) {
      for (const std::uint8_t levels : {1, 4, 8}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(method)) + "/" + std::to_string(levels) + "/" + stream_coder_name(coder));
        const TargetSettings settings{method, levels, 10, 0.004f, 0.6f, coder};
        const std::vector<std::uint8_t> stream = encode_ok(x, settings);
        const QuorvaneHeader header = header_of(stream);
        EXPECT_EQ(header.levels, levels);
        EXPECT_EQ(header.scale, 10);
        EXPECT_EQ(header.coder, static_cast<std::uint8_t>(coder));
        EXPECT_EQ(header.method, method_code(method));
        EXPECT_EQ(header.sample_count, x.size());
        EXPECT_EQ(stream.size(), HEADER_SIZE + header.payload_len);
        EXPECT_EQ(header.min, *min);
        // The stored range is the step times 2^scale, not the signal's range.
        EXPECT_NEAR(header.max - header.min, 0.004f * 1024.0f, 1e-5f);
        const auto record = read_provenance(header);
        ASSERT_TRUE(record.has_value());
        EXPECT_EQ(record->true_min, *min);
        EXPECT_EQ(record->true_max, *max);

        // Plain rounding in every band would keep each coefficient within
        // half a step; a dead zone of 0.6 steps and the synthesis gains
        // keep the RMSE well under one step.
        const std::vector<float> y = decode_ok(stream);
        ASSERT_EQ(y.size(), x.size());
        EXPECT_LT(measure(x, y).rmse, 0.004);
      }
    }
  }
}

TEST(TargetSettings, DecoderIgnoresTheProvenanceRecord) {
  const std::vector<float> x = test_signal(777, 3);
  std::vector<std::uint8_t> stream = encode_ok(x, {WaveletMethod::cdf97, 6, 12, 0.02f, 0.5f, StreamCoder::arans});
  const std::vector<float> with_record = decode_ok(stream);
  ASSERT_TRUE(read_provenance(header_of(stream)).has_value());
  std::fill(stream.begin() + 36, stream.begin() + HEADER_SIZE, 0);
  EXPECT_FALSE(read_provenance(header_of(stream)).has_value());
  EXPECT_EQ(decode_ok(stream), with_record);
}

TEST(TargetSettings, ProvenanceLayout) {
  const std::array<std::uint8_t, 16> tail = provenance_tail({-1.5f, 2.0f});
  EXPECT_EQ(hex(tail), "51544531" "0000c0bf" "00000040" "00000000");
}

TEST(TargetSettings, RefusesSettingsOutsideTheFormat) {
  const std::vector<float> x = test_signal(200);
  const auto error_of = [&](TargetSettings settings) {
    auto result = encode_with_settings(x, settings);
    return result.ok() ? std::string("ok") : result.error().message();
  };
  const TargetSettings good{WaveletMethod::cdf97, 4, 10, 0.01f, 0.5f, StreamCoder::arans};
  EXPECT_EQ(error_of(good), "ok");
  struct Case {
    TargetSettings settings;
    const char* message;
  };
  const Case cases[] = {
      {{WaveletMethod::cdf97, 0, 10, 0.01f, 0.5f, StreamCoder::arans}, "Level count must lie in 1..10, but it was 0"},
      {{WaveletMethod::cdf97, 11, 10, 0.01f, 0.5f, StreamCoder::arans}, "Level count must lie in 1..10, but it was 11"},
      {{WaveletMethod::cdf97, 4, 5, 0.01f, 0.5f, StreamCoder::arans}, "Scale must lie in 6..12, but it was 5"},
      {{WaveletMethod::cdf97, 4, 13, 0.01f, 0.5f, StreamCoder::arans}, "Scale must lie in 6..12, but it was 13"},
      {{WaveletMethod::cdf97, 4, 10, 0.0f, 0.5f, StreamCoder::arans}, "Step must be a positive finite number, but it was 0"},
      {{WaveletMethod::cdf97, 4, 10, -1.0f, 0.5f, StreamCoder::arans}, "Step must be a positive finite number, but it was -1"},
      {{WaveletMethod::cdf97, 4, 10, NAN, 0.5f, StreamCoder::arans}, "Step must be a positive finite number, but it was nan"},
      {{WaveletMethod::cdf97, 4, 10, 0.01f, 0.4f, StreamCoder::arans}, "Dead zone must lie in 0.5..4 steps"},
      {{WaveletMethod::cdf97, 4, 10, 0.01f, NAN, StreamCoder::arans}, "Dead zone must lie in 0.5..4 steps"},
      {{WaveletMethod::cdf97, 4, 10, 0.01f, 0.5f, static_cast<StreamCoder>(7)}, "Unknown entropy coder 7"},
      {{static_cast<WaveletMethod>(9), 4, 10, 0.01f, 0.5f, StreamCoder::arans}, "Unknown wavelet method 9"},
  };
  for (const Case& c : cases) EXPECT_EQ(error_of(c.settings), c.message);
  // Too fine to store: max - min would not differ from min in float32.
  EXPECT_EQ(error_of({WaveletMethod::cdf97, 4, 6, 1e-20f, 0.5f, StreamCoder::arans}).rfind(
                "Step 9.99999968e-21 cannot be stored for samples of magnitude ", 0),
            0u);

  EXPECT_EQ(encode_with_settings({}, good).error().message(),
            "Unsupported compression configuration 'Can't compress empty data'");
  std::vector<float> bad = x;
  bad[17] = INFINITY;
  EXPECT_EQ(encode_with_settings(bad, good).error().kind(), TargetError::Kind::NonFiniteInput);
  EXPECT_EQ(encode_with_settings(bad, good).error().message(), "Sample 17 is inf; a quality target needs finite samples");
}

// --- encode_to_target -----------------------------------------------------

struct Signal {
  const char* name;
  std::vector<float> samples;
};

std::vector<Signal> signals() {
  std::mt19937 rng(20240607);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<Signal> out;
  out.push_back({"smooth+spikes", test_signal(4000, 7)});
  std::vector<float> walk(6000);
  float level = 0.0f;
  for (float& v : walk) v = level += normal(rng);
  out.push_back({"random walk", walk});
  std::vector<float> steps(3001);
  for (std::size_t i = 0; i < steps.size(); ++i) steps[i] = static_cast<float>((i / 250) % 5) * 100.0f + 0.3f * normal(rng) + 1000.0f;
  out.push_back({"steps at an offset", steps});
  std::vector<float> noise(2048);
  for (float& v : noise) v = normal(rng);
  out.push_back({"white noise", noise});
  for (const std::size_t n : {1, 2, 5, 9, 17, 63, 130}) out.push_back({"short", test_signal(n, static_cast<std::uint32_t>(n))});
  return out;
}

struct TargetCase {
  const char* name;
  QualityTarget (*make)(double range);
};

const TargetCase kTargets[] = {
    {"abs 1e-2", [](double r) { QualityTarget t; t.max_abs_error = 1e-2 * r; return t; }},
    {"abs 1e-3", [](double r) { QualityTarget t; t.max_abs_error = 1e-3 * r; return t; }},
    {"abs 3e-4", [](double r) { QualityTarget t; t.max_abs_error = 3e-4 * r; return t; }},
    {"psnr 40", [](double) { QualityTarget t; t.min_psnr = 40.0; return t; }},
    {"psnr 80", [](double) { QualityTarget t; t.min_psnr = 80.0; return t; }},
    {"rmse 1e-3", [](double r) { QualityTarget t; t.max_rmse = 1e-3 * r; return t; }},
    {"abs and psnr, deflate allowed, cdf53 only",
     [](double r) {
       QualityTarget t;
       t.max_abs_error = 5e-3 * r;
       t.min_psnr = 65.0;
       t.methods = {WaveletMethod::cdf53};
       t.coders = {StreamCoder::arans, StreamCoder::deflate, StreamCoder::bands};
       return t;
     }},
};

TEST(EncodeToTarget, EveryStreamMeetsItsTargetWhenDecoded) {
  for (const Signal& signal : signals()) {
    const auto [min, max] = std::minmax_element(signal.samples.begin(), signal.samples.end());
    const double range = static_cast<double>(*max) - *min;
    for (const TargetCase& target_case : kTargets) {
      SCOPED_TRACE(std::string(signal.name) + " n=" + std::to_string(signal.samples.size()) + " " + target_case.name);
      const QualityTarget target = target_case.make(range);
      auto result = encode_to_target(signal.samples, target);
      ASSERT_TRUE(result.ok()) << result.error().message();
      const TargetEncoding& encoding = result.value();
      const AchievedMetrics metrics = measure(signal.samples, decode_ok(encoding.stream));
      if (target.max_abs_error) {
        EXPECT_LE(metrics.max_abs_error, *target.max_abs_error);
      }
      if (target.min_psnr) {
        EXPECT_GE(metrics.psnr, *target.min_psnr);
      }
      if (target.max_rmse) {
        EXPECT_LE(metrics.rmse, *target.max_rmse);
      }
      EXPECT_EQ(metrics.max_abs_error, encoding.metrics.max_abs_error);
      EXPECT_EQ(metrics.rmse, encoding.metrics.rmse);
      if (!target.methods.empty()) {
        EXPECT_EQ(encoding.settings.method, target.methods.front());
      }

      // The settings reported are those in the header.
      const QuorvaneHeader header = header_of(encoding.stream);
      EXPECT_EQ(header.levels, encoding.settings.levels);
      EXPECT_EQ(header.scale, encoding.settings.scale);
      EXPECT_EQ(header.coder, static_cast<std::uint8_t>(encoding.settings.coder));
      EXPECT_EQ(header.max - header.min, std::ldexp(encoding.settings.step, header.scale));
    }
  }
}

TEST(EncodeToTarget, SmallerThanTheReferenceEncoderAtItsOwnError) {
  // At the error the default stream reaches, the target encoder's stream
  // must be clearly smaller: that is its reason to exist.
  const std::vector<float> x = test_signal(20000, 11);
  auto reference = compress(x, CodecOptions{});
  ASSERT_TRUE(reference.ok());
  const AchievedMetrics reached = measure(x, decode_ok(reference.value()));
  QualityTarget target;
  target.max_abs_error = reached.max_abs_error;
  auto result = encode_to_target(x, target);
  ASSERT_TRUE(result.ok()) << result.error().message();
  EXPECT_LT(result.value().stream.size() * 5, reference.value().size() * 4);
}

// A long smooth signal at max-error bounds: many corrections, ends whose
// levels the CDF 9/7 update pass leaves partly untouched (65537 and 32769,
// the first two level lengths, are 1 modulo 32); the correction must
// converge to a bound-meeting stream clearly smaller than any reference
// stream of cdf97 that meets the bound.
TEST(EncodeToTarget, LongSmoothSignalsMeetMaxErrorBoundsWithSmallStreams) {
  std::mt19937 rng(20240607);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  {
    const std::size_t n = 65537;
    std::vector<float> walk(n);
    float level = 0.0f;
    for (float& v : walk) v = level += normal(rng);
    const auto [min, max] = std::minmax_element(walk.begin(), walk.end());
    for (const double fraction : {1e-2, 3e-3}) {
      SCOPED_TRACE("n=" + std::to_string(n) + " bound " + std::to_string(fraction) + " of the range");
      QualityTarget target;
      target.max_abs_error = fraction * (static_cast<double>(*max) - *min);
      target.methods = {WaveletMethod::cdf97};
      auto result = encode_to_target(walk, target);
      ASSERT_TRUE(result.ok()) << result.error().message();
      EXPECT_LE(measure(walk, decode_ok(result.value().stream)).max_abs_error, *target.max_abs_error);
      std::size_t smallest_reference = SIZE_MAX;
      for (std::uint8_t scale = 6; scale <= 12; ++scale) {
        auto reference = compress(walk, CodecOptions{WaveletMethod::cdf97, scale, CutoffLevel::low, EntropyCoder::arans});
        ASSERT_TRUE(reference.ok());
        if (measure(walk, decode_ok(reference.value())).max_abs_error <= *target.max_abs_error) {
          smallest_reference = std::min(smallest_reference, reference.value().size());
        }
      }
      EXPECT_LT(result.value().stream.size() * 6, smallest_reference * 5);
    }
  }
}

TEST(EncodeToTarget, FlatSignalsAreExact) {
  for (const float value : {0.0f, -3.5f, 1e30f}) {
    const std::vector<float> x(500, value);
    QualityTarget target;
    target.max_abs_error = 0.0;
    auto result = encode_to_target(x, target);
    ASSERT_TRUE(result.ok()) << result.error().message();
    EXPECT_EQ(decode_ok(result.value().stream), x);
    EXPECT_EQ(result.value().metrics.psnr, INFINITY);
  }
}

TEST(EncodeToTarget, RefusesTargetsNoStreamCanMeet) {
  std::mt19937 rng(5);
  std::uniform_int_distribution<int> pcm(-32768, 32767);
  std::vector<float> audio(4096);
  for (float& v : audio) v = static_cast<float>(pcm(rng));
  const auto kind_of = [&](const QualityTarget& target) {
    auto result = encode_to_target(audio, target);
    return result.ok() ? std::string("ok") : result.error().message();
  };
  QualityTarget exact;
  exact.max_abs_error = 0.0;
  EXPECT_EQ(encode_to_target(audio, exact).error().kind(), TargetError::Kind::TargetUnreachable);
  // Half an LSB on full-scale 16-bit noise needs more than int16 units.
  QualityTarget lsb;
  lsb.max_abs_error = 0.5;
  EXPECT_EQ(encode_to_target(audio, lsb).error().kind(), TargetError::Kind::TargetUnreachable);
  QualityTarget none;
  EXPECT_EQ(kind_of(none), "A quality target needs max_abs_error, min_psnr or max_rmse");
  QualityTarget negative;
  negative.max_abs_error = -1.0;
  EXPECT_EQ(kind_of(negative), "max_abs_error must be a finite number >= 0");
  QualityTarget nan_rmse;
  nan_rmse.max_rmse = NAN;
  EXPECT_EQ(kind_of(nan_rmse), "max_rmse must be a finite number >= 0");
  QualityTarget nan_psnr;
  nan_psnr.min_psnr = NAN;
  EXPECT_EQ(kind_of(nan_psnr), "min_psnr must be a number");
  QualityTarget bad_coder;
  bad_coder.min_psnr = 30.0;
  bad_coder.coders = {static_cast<StreamCoder>(3)};
  QualityTarget coder2;
  coder2.min_psnr = 30.0;
  coder2.coders = {StreamCoder::bands};
  EXPECT_EQ(kind_of(coder2), "ok");
  EXPECT_EQ(kind_of(bad_coder), "Unknown entropy coder 3");
  QualityTarget bad_method;
  bad_method.min_psnr = 30.0;
  bad_method.methods = {static_cast<WaveletMethod>(4)};
  EXPECT_EQ(kind_of(bad_method), "Unknown wavelet method 4");
  std::vector<float> with_nan = audio;
  with_nan[3] = NAN;
  QualityTarget psnr;
  psnr.min_psnr = 30.0;
  EXPECT_EQ(encode_to_target(with_nan, psnr).error().kind(), TargetError::Kind::NonFiniteInput);
}

}  // namespace
}  // namespace quorvane::codec
