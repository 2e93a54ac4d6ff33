// What each fuzz target does with one input, shared by the libFuzzer entry
// points and the regression test that replays saved inputs. A check returns
// an empty string when the input was handled soundly and a description of
// the fault otherwise; the entry points turn a fault into an abort so that
// libFuzzer saves the input.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quantizer.h"
#include "quorvane/arans/arans.h"
#include "quorvane/arans/band_coder.h"
#include "quorvane/codec/band_payload.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "raw_deflate.h"

namespace quorvane::fuzz {

using Bytes = std::span<const std::uint8_t>;

inline std::uint32_t load_u32(Bytes bytes, std::size_t offset) {
  return static_cast<std::uint32_t>(bytes[offset]) | (static_cast<std::uint32_t>(bytes[offset + 1]) << 8) |
         (static_cast<std::uint32_t>(bytes[offset + 2]) << 16) |
         (static_cast<std::uint32_t>(bytes[offset + 3]) << 24);
}

inline float load_f32(Bytes bytes, std::size_t offset) {
  const std::uint32_t bits = load_u32(bytes, offset);
  float value;
  std::memcpy(&value, &bits, sizeof value);
  return value;
}

// decompress: any byte string gives either exactly the header's sample count
// of samples or an error with a message.
inline std::string check_decompress(Bytes input) {
  auto decoded = codec::decompress(input);
  if (!decoded.ok()) {
    return decoded.error().message().empty() ? "decompress failed with an empty message" : "";
  }
  if (input.size() < codec::HEADER_SIZE) return "decompress accepted a stream shorter than its header";
  const std::uint32_t sample_count = load_u32(input, 16);
  if (decoded.value().size() != sample_count) {
    return "decompress returned " + std::to_string(decoded.value().size()) + " samples for a header of " +
           std::to_string(sample_count);
  }
  // Without a memory sanitiser, decoding twice is what shows a read of
  // uninitialised memory.
  auto again = codec::decompress(input);
  if (!again.ok() || again.value().size() != decoded.value().size() ||
      (!decoded.value().empty() && std::memcmp(again.value().data(), decoded.value().data(),
                                               decoded.value().size() * sizeof(float)) != 0)) {
    return "decompress is not deterministic";
  }
  return "";
}

// The length a successful decode_stream must have: the stream itself up to
// five bytes, 2h + (odd flag) from six on.
inline std::string check_decode_stream(Bytes input) {
  auto decoded = arans::decode_stream(input);
  if (!decoded.ok()) return "";
  const std::size_t size = decoded.value().size();
  if (input.size() <= 5) {
    if (!std::equal(input.begin(), input.end(), decoded.value().begin(), decoded.value().end())) {
      return "a short stream did not decode to itself";
    }
    return "";
  }
  std::size_t position = 2;
  auto pairs = arans::rv(input, position);
  if (!pairs.ok()) return "decode_stream accepted a stream whose pair count does not parse";
  const std::uint64_t expected = 2 * pairs.value() + (input[0] & 1u);
  if (pairs.value() > (std::uint64_t{1} << 28) || size != expected) {
    return "decode_stream returned " + std::to_string(size) + " bytes for h = " +
           std::to_string(pairs.value());
  }
  if ((input[0] & 1u) && decoded.value().back() != input.back()) {
    return "the odd trailing byte was not copied";
  }
  return "";
}

// Plane inputs: byte 0 chooses the context bits (0..8), bytes 1-3 the count
// (little-endian, at most 2^20 so that runs stay fast), the rest is the plane.
inline constexpr std::size_t kMaxPlaneCount = std::size_t{1} << 20;

inline std::string check_decode_plane(Bytes input) {
  if (input.size() < 4) return "";
  const unsigned context_bits = input[0] % 9u;
  const std::size_t count = (input[1] | (input[2] << 8) | (input[3] << 16)) % (kMaxPlaneCount + 1);
  const Bytes coded = input.subspan(4);
  auto decoded = arans::decode_plane(coded, count, context_bits);
  if (!decoded.ok()) {
    if (count == 0) return "decode_plane failed for a count of 0";
    return "";
  }
  if (decoded.value().size() != count) {
    return "decode_plane returned " + std::to_string(decoded.value().size()) + " bytes for a count of " +
           std::to_string(count);
  }
  // Whatever a plane decodes to, coding it again must give it back.
  const std::vector<std::uint8_t> recoded = arans::encode_plane(decoded.value(), context_bits);
  auto again = arans::decode_plane(recoded, count, context_bits);
  if (!again.ok() || again.value() != decoded.value()) return "encode_plane did not round-trip";
  return "";
}

// Band-coder inputs: byte 0 gives the number of detail bands (0..10),
// bytes 1-2 the approximation count and two bytes per detail band its size
// (little-endian, so at most about 720 000 values); the rest is the payload.
// Arbitrary layouts reach shapes the codec never derives (empty bands,
// parents shorter than half their child).
inline std::string check_decode_bands(Bytes input) {
  if (input.size() < 3) return "";
  const std::size_t detail_count = input[0] % 11u;
  if (input.size() < 3 + 2 * detail_count) return "";
  arans::BandLayout layout{static_cast<std::size_t>(input[1] | (input[2] << 8)), {}};
  for (std::size_t i = 0; i < detail_count; ++i) {
    layout.details.push_back(static_cast<std::size_t>(input[3 + 2 * i] | (input[4 + 2 * i] << 8)));
  }
  const Bytes payload = input.subspan(3 + 2 * detail_count);
  auto decoded = arans::decode_bands(payload, layout);
  if (!decoded.ok()) return "";
  std::size_t count = 0;
  if (!layout.total(count) || decoded.value().size() != count) {
    return "decode_bands returned " + std::to_string(decoded.value().size()) + " values for " +
           std::to_string(count);
  }
  // An accepted payload ends at the encoder's initial state, so coding its
  // values again must give exactly the same bytes.
  auto recoded = arans::encode_bands(decoded.value(), layout);
  if (!recoded.ok() || !std::equal(recoded.value().begin(), recoded.value().end(), payload.begin(),
                                   payload.end())) {
    return "an accepted band payload is not what its values encode to";
  }
  return "";
}

// Round-trip inputs: bytes 0-3 are the options (method, scale, cut-off,
// coder, each reduced to its range), byte 4 picks how the rest becomes a
// signal, so that the fuzzer reaches raw bit patterns (NaN, infinities,
// denormals) as well as structured signals at any magnitude.
struct RoundTripCase {
  codec::CodecOptions options;
  std::vector<float> signal;
};

inline constexpr std::size_t kMaxRoundTripSamples = std::size_t{1} << 13;

// 2^(byte - 140): from below the smallest normal float to about 2^115.
inline float magnitude_of(std::uint8_t byte) { return std::ldexp(1.0f, static_cast<int>(byte) - 140); }

inline RoundTripCase round_trip_case(Bytes input) {
  RoundTripCase c;
  if (input.size() < 6) return c;
  c.options.method = static_cast<codec::WaveletMethod>(input[0] % 4);
  c.options.scale = static_cast<std::uint8_t>(codec::kMinScale + input[1] % 7);
  c.options.cutoff = static_cast<codec::CutoffLevel>(input[2] % 3);
  c.options.coder = static_cast<codec::EntropyCoder>(input[3] % 3);
  const unsigned mode = input[4] % 4;
  const float magnitude = magnitude_of(input[5]);
  const Bytes rest = input.subspan(6);
  std::vector<float>& x = c.signal;
  switch (mode) {
    case 0:  // raw float32 bit patterns
      for (std::size_t i = 0; i + 4 <= rest.size(); i += 4) x.push_back(load_f32(rest, i));
      break;
    case 1:  // small integers at one magnitude
      for (const std::uint8_t b : rest) x.push_back(static_cast<float>(static_cast<std::int8_t>(b)) * magnitude);
      break;
    case 2:  // runs: (value, length - 1) pairs
      for (std::size_t i = 0; i + 2 <= rest.size() && x.size() < kMaxRoundTripSamples; i += 2) {
        const float value = static_cast<float>(static_cast<std::int8_t>(rest[i])) * magnitude;
        x.insert(x.end(), std::min<std::size_t>(rest[i + 1] + 1u, kMaxRoundTripSamples - x.size()), value);
      }
      break;
    default:  // small steps on a large offset: bytes 6-9 are the offset
      if (rest.size() >= 4) {
        const float offset = load_f32(rest, 0);
        for (const std::uint8_t b : rest.subspan(4)) {
          x.push_back(offset + static_cast<float>(static_cast<std::int8_t>(b)) * magnitude);
        }
      }
      break;
  }
  if (x.size() > kMaxRoundTripSamples) x.resize(kMaxRoundTripSamples);
  return c;
}

// Largest sum of |synthesis weights| over one output sample, per method:
// the most a bounded error per coefficient can grow through the inverse
// transform. Measured by tests/fuzz/synthesis_gain.cc over every length up to
// 300, every 37th up to 4000 and lengths up to 12000 (cdf53 9.00, cdf97 7.86,
// db4 3.68, sym4 3.62; the figures stop growing once 8 levels are reached),
// then rounded up.
inline float synthesis_gain(codec::WaveletMethod method) {
  switch (method) {
    case codec::WaveletMethod::cdf53:
      return 9.5f;
    case codec::WaveletMethod::cdf97:
      return 8.5f;
    case codec::WaveletMethod::db4:
    case codec::WaveletMethod::sym4:
      return 4.0f;
  }
  return 9.5f;
}

// The coefficients the payload carries; saturated values (the quantiser's
// clamp) void the error bound, so the caller needs to see them.
inline bool has_saturated_coefficient(Bytes stream) {
  auto header = codec::QuorvaneHeader::from_bytes(stream);
  if (!header.ok()) return false;
  const Bytes payload = stream.subspan(codec::HEADER_SIZE, header.value().payload_len);
  std::vector<std::uint8_t> bytes;
  if (header.value().coder == codec::kCoderArans) {
    auto decoded = arans::decode_stream(payload);
    if (!decoded.ok()) return false;
    bytes = std::move(decoded).value();
  } else {
    auto inflated = codec::inflate_raw(payload, std::numeric_limits<std::size_t>::max());
    if (!inflated.ok()) return false;
    bytes.assign(inflated.value().begin(), inflated.value().end());
  }
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto q = static_cast<std::int16_t>(static_cast<std::uint16_t>(bytes[i] | (bytes[i + 1] << 8)));
    if (q == 32767 || q == -32768) return true;
  }
  return false;
}

inline float sanitized(float x) {
  if (std::isnan(x)) return 0.0f;
  if (std::isinf(x)) return x > 0 ? 1.0f : 0.0f;
  return x;
}

// compress then decompress: the same bytes twice, exactly n samples back,
// and every sample within what quantisation and the dead zone allow.
inline std::string check_round_trip(Bytes input) {
  const RoundTripCase c = round_trip_case(input);
  const std::vector<float>& x = c.signal;
  auto stream = codec::compress(x, c.options);

  float lo = std::numeric_limits<float>::infinity();
  float hi = -std::numeric_limits<float>::infinity();
  for (const float v : x) {
    lo = std::min(lo, sanitized(v));
    hi = std::max(hi, sanitized(v));
  }
  const float range = hi - lo;
  if (!stream.ok()) {
    using Kind = codec::QuorvaneError::Kind;
    if (x.empty() && stream.error().kind() == Kind::UnsupportedConfiguration) return "";
    if (!std::isfinite(range) && stream.error().kind() == Kind::UnsupportedConfiguration) return "";
    return "compress refused a valid signal: " + stream.error().message();
  }
  if (x.empty()) return "compress accepted an empty signal";

  auto again = codec::compress(x, c.options);
  if (!again.ok() || again.value() != stream.value()) return "compress is not deterministic";

  auto decoded = codec::decompress(stream.value());
  if (!decoded.ok()) return "decompress refused a fresh stream: " + decoded.error().message();
  const std::vector<float>& y = decoded.value();
  if (y.size() != x.size()) {
    return "round trip returned " + std::to_string(y.size()) + " of " + std::to_string(x.size()) + " samples";
  }
  // Coder 2 codes the same coefficients: the same samples, bit for bit.
  auto bands = codec::compress_with_band_coder(x, c.options);
  if (!bands.ok()) return "compress_with_band_coder refused what compress took: " + bands.error().message();
  auto bands_decoded = codec::decompress(bands.value());
  if (!bands_decoded.ok()) return "decompress refused a fresh coder-2 stream: " + bands_decoded.error().message();
  if (bands_decoded.value().size() != y.size() ||
      std::memcmp(bands_decoded.value().data(), y.data(), 4 * y.size()) != 0) {
    return "the coder-2 stream decodes to other samples than the reference stream";
  }
  if (has_saturated_coefficient(stream.value())) return "";

  constexpr float kEpsilon = std::numeric_limits<float>::epsilon();
  float bound;
  if (!(range > 9.99999975e-6f)) {
    bound = range;  // a flat signal comes back as copies of its minimum
  } else {
    const float step = codec::quantizer_step(c.options.scale);
    const float threshold =
        static_cast<float>(std::max(1, codec::dead_zone_threshold(c.options.scale, c.options.cutoff)));
    bound = synthesis_gain(c.options.method) * threshold * step * range +
            256.0f * kEpsilon * (range + std::max(std::abs(lo), std::abs(hi)));
  }
  for (std::size_t i = 0; i < x.size(); ++i) {
    // Undoing the normalisation may round a sample within the bound of the
    // largest float to infinity; nowhere else is a non-finite sample sound.
    if (std::isinf(y[i]) && static_cast<double>(std::abs(sanitized(x[i]))) + bound >
                                static_cast<double>(std::numeric_limits<float>::max())) {
      continue;
    }
    const float error = std::abs(y[i] - sanitized(x[i]));
    if (!(error <= bound)) {
      return "sample " + std::to_string(i) + " of " + std::to_string(x.size()) + ": error " +
             std::to_string(error) + " exceeds the bound " + std::to_string(bound) + " (range " +
             std::to_string(range) + ")";
    }
  }
  return "";
}

struct FuzzTarget {
  std::string_view name;
  std::string (*check)(Bytes);
};

inline constexpr FuzzTarget kFuzzTargets[] = {
    {"decompress", check_decompress},
    {"decode_stream", check_decode_stream},
    {"decode_plane", check_decode_plane},
    {"decode_bands", check_decode_bands},
    {"round_trip", check_round_trip},
};

// libFuzzer saves the input of any run that ends abnormally.
inline void abort_on_fault(const std::string& fault) {
  if (fault.empty()) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", fault.c_str());
  std::abort();
}

}  // namespace quorvane::fuzz
