// The filter's parameter layout and its chunk <-> stream conversion, without
// HDF5: byte orders, float64, refusals and damaged streams.
#include "chunk_codec.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "filter_parameters.h"
#include "quorvane/codec/band_payload.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"

namespace quorvane::hdf5 {
namespace {

using codec::CodecOptions;

std::vector<float> test_signal(std::size_t n) {
  std::vector<float> signal(n);
  for (std::size_t i = 0; i < n; ++i) {
    const float t = static_cast<float>(i);
    signal[i] = std::sin(t * 0.05f) * 3.0f + std::cos(t * 0.31f) * 0.5f - 1.25f;
  }
  return signal;
}

template <class Sample>
std::vector<std::uint8_t> to_bytes(const std::vector<Sample>& samples, bool big_endian) {
  std::vector<std::uint8_t> bytes(samples.size() * sizeof(Sample));
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  if (big_endian != (std::endian::native == std::endian::big)) {
    for (std::size_t i = 0; i < bytes.size(); i += sizeof(Sample)) {
      std::reverse(bytes.begin() + static_cast<std::ptrdiff_t>(i),
                   bytes.begin() + static_cast<std::ptrdiff_t>(i + sizeof(Sample)));
    }
  }
  return bytes;
}

FilterParameters parameters_for(unsigned element_size, bool big_endian, std::size_t samples,
                                CodecOptions options = {}) {
  return FilterParameters{options, ChunkLayout{element_size, big_endian, static_cast<std::uint32_t>(samples)}};
}

std::string encode_error(const std::vector<std::uint8_t>& raw, const FilterParameters& parameters) {
  auto stream = encode_chunk(raw, parameters);
  return stream ? std::string("no error") : stream.error().message;
}

TEST(FilterParameters, NoValuesGiveTheDefaults) {
  auto options = parse_user_values({});
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value().options.pack(), 0x0B010200u);
  EXPECT_FALSE(options.value().band_coder);
}

TEST(FilterParameters, ShortListsKeepTheRemainingDefaults) {
  const unsigned values[] = {1, 0, 9};
  auto options = parse_user_values(values);
  ASSERT_TRUE(options.ok());
  EXPECT_EQ(options.value(), (WriterChoice{{codec::WaveletMethod::cdf53, 9, codec::CutoffLevel::low,
                                            codec::EntropyCoder::automatic},
                                           false}));
}

TEST(FilterParameters, RefusesEveryOutOfRangeValue) {
  struct Case {
    std::size_t index;
    unsigned value;
    const char* message;
  };
  const Case cases[] = {
      {0, 2, "quorvane filter: parameter layout 2 is unknown to this filter, which reads layout 1; a newer "
             "quorvane is needed"},
      {1, 4, "quorvane filter: method 4 is not one of 0 (cdf53), 1 (cdf97), 2 (db4), 3 (sym4)"},
      {2, 5, "quorvane filter: scale 5 is not one of 6..12"},
      {2, 13, "quorvane filter: scale 13 is not one of 6..12"},
      {3, 3, "quorvane filter: cut-off 3 is not one of 0 (low), 1 (medium), 2 (high)"},
      {4, 4, "quorvane filter: coder 4 is not one of 0 (deflate), 1 (arans), 2 (auto), 3 (bands)"},
      {5, 1, "quorvane filter: quality target kind 1 is not supported by this filter; give a scale instead"},
  };
  for (const Case& c : cases) {
    unsigned values[kUserValueCount] = {1, 1, 11, 0, 2, 0, 0};
    values[c.index] = c.value;
    auto options = parse_user_values(values);
    ASSERT_FALSE(options.ok()) << c.message;
    EXPECT_EQ(options.error().message, c.message);
  }
}

TEST(FilterParameters, StoredValuesReadBack) {
  const FilterParameters parameters = parameters_for(
      8, true, 4096, CodecOptions{codec::WaveletMethod::sym4, 7, codec::CutoffLevel::high, codec::EntropyCoder::deflate});
  const auto values = stored_values(parameters);
  EXPECT_EQ(values, (std::array<unsigned, kValueCount>{1, 3, 7, 2, 0, 0, 0, 8, 1, 4096}));
  auto read = parse_stored_values(values);
  ASSERT_TRUE(read.ok());
  EXPECT_EQ(read.value().options, parameters.options);
  EXPECT_EQ(read.value().layout.element_size, 8u);
  EXPECT_TRUE(read.value().layout.big_endian);
  EXPECT_EQ(read.value().layout.chunk_samples, 4096u);
}

// Coder value 3 asks for coder 2; the values 0..2 keep their meaning.
TEST(FilterParameters, CoderValueThreeSelectsTheBandCoder) {
  const struct {
    unsigned value;
    codec::EntropyCoder coder;
    bool bands;
  } cases[] = {{0, codec::EntropyCoder::deflate, false},
               {1, codec::EntropyCoder::arans, false},
               {2, codec::EntropyCoder::automatic, false},
               {3, codec::EntropyCoder::automatic, true}};
  for (const auto& c : cases) {
    const unsigned values[] = {1, 0, 9, 1, c.value};
    auto choice = parse_user_values(values);
    ASSERT_TRUE(choice.ok()) << c.value;
    EXPECT_EQ(choice.value(), (WriterChoice{{codec::WaveletMethod::cdf53, 9, codec::CutoffLevel::medium, c.coder},
                                            c.bands}));
    FilterParameters parameters = parameters_for(4, false, 100, choice.value().options);
    parameters.band_coder = choice.value().band_coder;
    const auto stored = stored_values(parameters);
    EXPECT_EQ(stored[QUORVANE_H5Z_INDEX_CODER], c.value);
    auto read = parse_stored_values(stored);
    ASSERT_TRUE(read.ok());
    EXPECT_EQ(read.value().options, parameters.options);
    EXPECT_EQ(read.value().band_coder, c.bands);
  }
}

TEST(FilterParameters, RefusesDamagedStoredLists) {
  const auto good = stored_values(parameters_for(4, false, 100));
  EXPECT_EQ(parse_stored_values(std::span(good).first(9)).error().message,
            "quorvane filter: the dataset stores 9 filter parameters, 10 are needed");
  struct Case {
    std::size_t index;
    unsigned value;
    const char* message;
  };
  const Case cases[] = {
      {7, 2, "quorvane filter: element size 2 is not one of 4, 8"},
      {8, 2, "quorvane filter: byte order 2 is not one of 0 (little), 1 (big)"},
      {9, 0, "quorvane filter: chunk size 0 is not one of 1..2147483647 elements"},
      {9, 2147483648u, "quorvane filter: chunk size 2147483648 is not one of 1..2147483647 elements"},
      {2, 99, "quorvane filter: scale 99 is not one of 6..12"},
  };
  for (const Case& c : cases) {
    auto values = good;
    values[c.index] = c.value;
    auto read = parse_stored_values(values);
    ASSERT_FALSE(read.ok()) << c.message;
    EXPECT_EQ(read.error().message, c.message);
  }
}

// The chunk is a plain stream: the codec's own decoder reads it, and the
// filter's decoder gives its samples back in the dataset's layout.
TEST(ChunkCodec, Float32ChunksAreStandardStreamsInEitherByteOrder) {
  for (std::size_t n : {1u, 7u, 80u, 1000u, 4097u}) {
    const auto signal = test_signal(n);
    const auto expected = codec::compress(signal, CodecOptions{});
    ASSERT_TRUE(expected.ok());
    const auto reference = codec::decompress(expected.value()).value();
    for (bool big_endian : {false, true}) {
      SCOPED_TRACE(std::to_string(n) + (big_endian ? " big-endian" : " little-endian"));
      const auto parameters = parameters_for(4, big_endian, n);
      auto stream = encode_chunk(to_bytes(signal, big_endian), parameters);
      ASSERT_TRUE(stream.ok()) << stream.error().message;
      EXPECT_EQ(stream.value(), expected.value());
      std::vector<std::uint8_t> out(decoded_chunk_size(parameters.layout));
      ASSERT_TRUE(decode_chunk(stream.value(), parameters.layout, out).ok());
      EXPECT_EQ(out, to_bytes(reference, big_endian));
    }
  }
}

TEST(ChunkCodec, Float64ChunksComeBackAsWidenedFloat32) {
  const std::size_t n = 3000;
  const auto narrow = test_signal(n);
  std::vector<double> wide(narrow.begin(), narrow.end());
  const auto reference = codec::decompress(codec::compress(narrow, CodecOptions{}).value()).value();
  const std::vector<double> widened(reference.begin(), reference.end());
  for (bool big_endian : {false, true}) {
    const auto parameters = parameters_for(8, big_endian, n);
    auto stream = encode_chunk(to_bytes(wide, big_endian), parameters);
    ASSERT_TRUE(stream.ok());
    std::vector<std::uint8_t> out(decoded_chunk_size(parameters.layout));
    ASSERT_EQ(out.size(), 8 * n);
    ASSERT_TRUE(decode_chunk(stream.value(), parameters.layout, out).ok());
    EXPECT_EQ(out, to_bytes(widened, big_endian));
  }
}

TEST(ChunkCodec, OptionsReachTheStream) {
  const auto signal = test_signal(500);
  const CodecOptions options{codec::WaveletMethod::db4, 8, codec::CutoffLevel::medium, codec::EntropyCoder::deflate};
  auto stream = encode_chunk(to_bytes(signal, false), parameters_for(4, false, signal.size(), options));
  ASSERT_TRUE(stream.ok());
  EXPECT_EQ(stream.value(), codec::compress(signal, options).value());
}

// Coder 2 codes the reference stream's coefficients: coder id 2 in the
// header, and the very samples the rANS stream of the same options decodes
// to, NaN chunks (trailer) and all-NaN chunks (placeholder) included.
TEST(ChunkCodec, BandCoderChunksDecodeToTheReferenceSamples) {
  const CodecOptions options{codec::WaveletMethod::cdf53, 10, codec::CutoffLevel::medium,
                             codec::EntropyCoder::automatic};
  for (std::size_t n : {1u, 9u, 1000u, 4097u}) {
    SCOPED_TRACE(n);
    auto signal = test_signal(n);
    FilterParameters parameters = parameters_for(4, false, n, options);
    const auto reference_stream = encode_chunk(to_bytes(signal, false), parameters);
    parameters.band_coder = true;
    auto stream = encode_chunk(to_bytes(signal, false), parameters);
    ASSERT_TRUE(stream.ok()) << stream.error().message;
    EXPECT_EQ(stream.value(), codec::compress_with_band_coder(signal, options).value());
    EXPECT_EQ(stream.value()[14], codec::kCoderBands);
    std::vector<std::uint8_t> out(decoded_chunk_size(parameters.layout));
    std::vector<std::uint8_t> reference(out.size());
    ASSERT_TRUE(decode_chunk(stream.value(), parameters.layout, out).ok());
    ASSERT_TRUE(decode_chunk(reference_stream.value(), parameters.layout, reference).ok());
    EXPECT_EQ(out, reference);

    signal[0] = std::numeric_limits<float>::quiet_NaN();
    auto with_nan = encode_chunk(to_bytes(signal, false), parameters);
    ASSERT_TRUE(with_nan.ok());
    EXPECT_EQ(with_nan.value()[14], codec::kCoderBands);
    ASSERT_TRUE(decode_chunk(with_nan.value(), parameters.layout, out).ok());
    float first;
    std::memcpy(&first, out.data(), 4);
    EXPECT_TRUE(std::isnan(first));
  }
}

TEST(ChunkCodec, RefusesFloat64BeyondTheFloat32Range) {
  std::vector<double> wide(9, 1.0);
  wide[2] = -1e300;
  EXPECT_EQ(encode_error(to_bytes(wide, false), parameters_for(8, false, 9)),
            "quorvane filter: -1.0000000000000001e+300 at element 2 of a chunk is outside the float32 range the "
            "codec works in");
  // The largest double that still rounds to a finite float is kept.
  wide[2] = static_cast<double>(std::numeric_limits<float>::max());
  EXPECT_TRUE(encode_chunk(to_bytes(wide, false), parameters_for(8, false, 9)).ok());
}

TEST(ChunkCodec, RefusesPartialElementsAndEmptyChunks) {
  EXPECT_EQ(encode_error(std::vector<std::uint8_t>(10), parameters_for(4, false, 2)),
            "quorvane filter: a chunk of 10 bytes is not a whole number of 4-byte elements");
  EXPECT_EQ(encode_error({}, parameters_for(4, false, 1)),
            "quorvane filter: Unsupported compression configuration 'Can't compress empty data'");
}

TEST(ChunkCodec, RefusesStreamsThatDoNotFitTheChunk) {
  const auto signal = test_signal(256);
  const auto stream = codec::compress(signal, CodecOptions{}).value();
  const ChunkLayout layout{4, false, 255};
  std::vector<std::uint8_t> out(decoded_chunk_size(layout));
  auto status = decode_chunk(stream, layout, out);
  ASSERT_FALSE(status.ok());
  EXPECT_EQ(status.error().message,
            "quorvane filter: the stored stream holds 256 samples, the dataset's chunks hold 255");

  const ChunkLayout right{4, false, 256};
  std::vector<std::uint8_t> full(decoded_chunk_size(right));
  auto truncated = decode_chunk(std::span(stream).first(stream.size() - 1), right, full);
  ASSERT_FALSE(truncated.ok());
  EXPECT_EQ(truncated.error().message, "quorvane filter: truncated: the stream needs " +
                                           std::to_string(stream.size()) + " bytes, only " +
                                           std::to_string(stream.size() - 1) + " are there");
  auto garbage = decode_chunk(std::vector<std::uint8_t>(40, 0xAB), right, full);
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().message, "quorvane filter: Header is invalid");
}

}  // namespace
}  // namespace quorvane::hdf5
