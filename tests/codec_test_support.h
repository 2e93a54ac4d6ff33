// Shared helpers of the codec tests: deterministic signals, a raw-inflate
// oracle for DEFLATE payloads, and access to stream header fields.
#pragma once

#include <zlib.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <span>
#include <stdexcept>
#include <vector>

#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"

namespace quorvane::codec::testing {

// A smooth signal with noise and a few spikes, from a fixed seed.
inline std::vector<float> test_signal(std::size_t n, std::uint32_t seed = 1) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.05f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(3.0 * std::sin(t * 0.013) + 0.7 * std::sin(t * 0.31 + 1.0)) +
           noise(rng) + ((i % 997) == 500 ? 4.0f : 0.0f) - 1.5f;
  }
  return x;
}

inline std::vector<std::uint8_t> compress_ok(std::span<const float> x, const CodecOptions& options) {
  auto result = compress(x, options);
  if (!result.ok()) throw std::runtime_error(result.error().message());
  return std::move(result).value();
}

inline QuorvaneHeader header_of(std::span<const std::uint8_t> stream) {
  auto header = QuorvaneHeader::from_bytes(stream);
  if (!header.ok()) throw std::runtime_error(header.error().message());
  return header.value();
}

// Inflates a raw DEFLATE payload completely, independently of the codec.
inline std::vector<std::uint8_t> inflate_oracle(std::span<const std::uint8_t> payload) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) throw std::runtime_error("inflateInit2");
  std::vector<std::uint8_t> out;
  std::uint8_t chunk[1 << 15];
  stream.next_in = const_cast<Bytef*>(payload.data());
  stream.avail_in = static_cast<uInt>(payload.size());
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    if (status != Z_OK && status != Z_STREAM_END) {
      inflateEnd(&stream);
      throw std::runtime_error("inflate");
    }
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
  }
  inflateEnd(&stream);
  return out;
}

// The quantised coefficients of a DEFLATE stream.
inline std::vector<std::int16_t> coefficients_of(std::span<const std::uint8_t> stream) {
  const QuorvaneHeader header = header_of(stream);
  const std::vector<std::uint8_t> bytes =
      inflate_oracle(stream.subspan(HEADER_SIZE, header.payload_len));
  std::vector<std::int16_t> q(bytes.size() / 2);
  for (std::size_t k = 0; k < q.size(); ++k) {
    q[k] = static_cast<std::int16_t>(bytes[2 * k] | (bytes[2 * k + 1] << 8));
  }
  return q;
}

inline void put_u32(std::vector<std::uint8_t>& stream, std::size_t offset, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) stream[offset + i] = static_cast<std::uint8_t>(value >> (8 * i));
}

inline const CodecOptions kAllMethodsDeflate[] = {
    {WaveletMethod::cdf53, 11, CutoffLevel::low, EntropyCoder::deflate},
    {WaveletMethod::cdf97, 11, CutoffLevel::low, EntropyCoder::deflate},
    {WaveletMethod::db4, 11, CutoffLevel::low, EntropyCoder::deflate},
    {WaveletMethod::sym4, 11, CutoffLevel::low, EntropyCoder::deflate},
};

}  // namespace quorvane::codec::testing
