#include "quorvane/codec/header.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "byte_io.h"

namespace quorvane::codec {
namespace {

constexpr std::array<std::uint8_t, 4> kMagic = {'Q', 'R', 'V', 'N'};
constexpr std::array<std::uint8_t, 2> kVersion = {0x01, 0x01};
constexpr std::array<std::uint8_t, 2> kCompressionTag = {'f', '3'};

constexpr std::array<std::array<std::uint8_t, 4>, 4> kMethodCodes = {{
    {'c', 'f', '5', '3'},  // cdf53
    {'c', 'f', '9', '7'},  // cdf97
    {'d', 'b', '0', '4'},  // db4
    {'s', 'y', 'm', '4'},  // sym4
}};

template <std::size_t N>
std::array<std::uint8_t, N> copy_bytes(std::span<const std::uint8_t> bytes, std::size_t offset) {
  std::array<std::uint8_t, N> out;
  std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(offset), N, out.begin());
  return out;
}

// A float is finite unless its bits with the sign cleared reach the
// exponent-all-ones pattern (both infinities and every NaN).
bool is_finite_bits(float value) {
  return (std::bit_cast<std::uint32_t>(value) & 0x7FFFFFFFu) < 0x7F800000u;
}

}  // namespace

std::array<std::uint8_t, 4> method_code(WaveletMethod method) {
  return kMethodCodes[static_cast<std::size_t>(method)];
}

std::optional<WaveletMethod> method_from_code(std::span<const std::uint8_t, 4> code) {
  for (std::size_t i = 0; i < kMethodCodes.size(); ++i) {
    if (std::equal(code.begin(), code.end(), kMethodCodes[i].begin())) {
      return static_cast<WaveletMethod>(i);
    }
  }
  return std::nullopt;
}

CodecResult<QuorvaneHeader> QuorvaneHeader::from_bytes(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < HEADER_SIZE) return Err{QuorvaneError::invalid_header()};

  QuorvaneHeader header;
  header.magic = copy_bytes<4>(bytes, 0);
  header.version = copy_bytes<2>(bytes, 4);
  header.compression_tag = copy_bytes<2>(bytes, 6);
  header.method = copy_bytes<4>(bytes, 8);
  header.levels = bytes[12];
  header.scale = bytes[13];
  header.coder = bytes[14];
  header.reserved = bytes[15];
  header.sample_count = load_le32(bytes.subspan<16, 4>());
  header.min = load_le_f32(bytes.subspan<20, 4>());
  header.max = load_le_f32(bytes.subspan<24, 4>());
  header.mean = load_le_f32(bytes.subspan<28, 4>());
  header.payload_len = load_le32(bytes.subspan<32, 4>());
  header.reserved_tail = copy_bytes<16>(bytes, 36);

  // The order of these checks decides which error a damaged header reports.
  if (header.magic != kMagic) return Err{QuorvaneError::invalid_magic(header.magic)};
  // Only the major version is checked; the minor byte may change freely.
  if (header.version[0] != kVersion[0]) {
    return Err{QuorvaneError::invalid_header_version(header.version)};
  }
  if (header.compression_tag != kCompressionTag) {
    return Err{QuorvaneError::invalid_compression_tag(header.compression_tag)};
  }
  if (!method_from_code(header.method)) {
    return Err{QuorvaneError::invalid_compression_method(header.method)};
  }
  if (header.scale < kMinScale || header.scale > kMaxScale) {
    return Err{QuorvaneError::unsupported_scale(header.scale)};
  }
  if (header.coder > kCoderBands) return Err{QuorvaneError::unknown_entropy_coder(header.coder)};
  if (!is_finite_bits(header.min) || !is_finite_bits(header.max) || !is_finite_bits(header.mean)) {
    return Err{QuorvaneError::invalid_header()};
  }
  return header;
}

QuorvaneHeader QuorvaneHeader::for_stream(WaveletMethod method, std::uint8_t levels,
                                          std::uint8_t scale, std::uint8_t coder,
                                          std::uint32_t sample_count, float min, float max,
                                          float mean, std::uint32_t payload_len) {
  QuorvaneHeader header;
  header.magic = kMagic;
  header.version = kVersion;
  header.compression_tag = kCompressionTag;
  header.method = method_code(method);
  header.levels = levels;
  header.scale = scale;
  header.coder = coder;
  header.sample_count = sample_count;
  header.min = min;
  header.max = max;
  header.mean = mean;
  header.payload_len = payload_len;
  return header;
}

void QuorvaneHeader::write(std::span<std::uint8_t, HEADER_SIZE> out) const {
  std::copy(magic.begin(), magic.end(), out.begin());
  std::copy(version.begin(), version.end(), out.begin() + 4);
  std::copy(compression_tag.begin(), compression_tag.end(), out.begin() + 6);
  std::copy(method.begin(), method.end(), out.begin() + 8);
  out[12] = levels;
  out[13] = scale;
  out[14] = coder;
  out[15] = reserved;
  store_le32(out.subspan<16, 4>(), sample_count);
  store_le_f32(out.subspan<20, 4>(), min);
  store_le_f32(out.subspan<24, 4>(), max);
  store_le_f32(out.subspan<28, 4>(), mean);
  store_le32(out.subspan<32, 4>(), payload_len);
  std::copy(reserved_tail.begin(), reserved_tail.end(), out.begin() + 36);
}

}  // namespace quorvane::codec
