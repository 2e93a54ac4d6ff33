// The adaptive rANS plane coder: exact coded bytes, truncation, the
// probability model's limits, and round trips across contexts and lengths.
#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "arans/probability_model.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;

TEST(AransPlaneCoder, AbcCodesToKnownBytesAndBack) {
  const Bytes abc = {0x61, 0x62, 0x63};
  const Bytes coded = {0x92, 0x35, 0xb4, 0x00, 0x80, 0x33};
  EXPECT_EQ(encode_plane(abc, 3), coded);
  auto decoded = decode_plane(coded, 3, 3);
  ASSERT_TRUE(decoded.ok());
  EXPECT_EQ(decoded.value(), abc);
}

TEST(AransPlaneCoder, SingleZeroByteIsTheDoubledStateForEveryContext) {
  const Bytes coded = {0x00, 0x00, 0x00, 0x01};
  for (unsigned c = 0; c <= kMaxContextBits; ++c) {
    EXPECT_EQ(encode_plane(Bytes{0x00}, c), coded) << "c = " << c;
    auto decoded = decode_plane(coded, 1, c);
    ASSERT_TRUE(decoded.ok()) << "c = " << c;
    EXPECT_EQ(decoded.value(), Bytes{0x00});
  }
}

TEST(AransPlaneCoder, EmptyPlaneAndZeroCount) {
  EXPECT_TRUE(encode_plane({}, 8).empty());
  for (const Bytes& coded : {Bytes{}, Bytes{0x01}, Bytes{0x92, 0x35, 0xb4, 0x00, 0x80, 0x33}}) {
    auto decoded = decode_plane(coded, 0, 3);
    ASSERT_TRUE(decoded.ok());
    EXPECT_TRUE(decoded.value().empty());
  }
}

TEST(AransPlaneCoder, CodedLengthIsStatePlusWholeWords) {
  std::mt19937 rng(11);
  for (std::size_t n : {1u, 2u, 7u, 100u, 4097u}) {
    Bytes data(n);
    for (auto& b : data) b = static_cast<std::uint8_t>(rng());
    const Bytes coded = encode_plane(data, 3);
    EXPECT_GE(coded.size(), 4u);
    EXPECT_EQ(coded.size() % 2, 0u) << n;
  }
}

TEST(AransPlaneCoder, ShortOrCutPlanesAreTruncated) {
  const Bytes three = {0x92, 0x35, 0xb4};
  auto r = decode_plane(three, 1, 3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), AransError::Truncated);

  std::mt19937 rng(3);
  Bytes data(2000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  const Bytes coded = encode_plane(data, 8);
  // Every cut that removes a word the decoder needs fails; an odd cut leaves
  // half a word, which is just as unusable.
  for (std::size_t keep : {std::size_t{4}, std::size_t{5}, coded.size() / 2, coded.size() - 1,
                           coded.size() - 2}) {
    const Bytes cut(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(keep));
    auto cut_result = decode_plane(cut, data.size(), 8);
    ASSERT_FALSE(cut_result.ok()) << keep;
    EXPECT_EQ(cut_result.error(), AransError::Truncated) << keep;
  }
  // Trailing bytes beyond the last word used are ignored.
  Bytes padded = coded;
  padded.insert(padded.end(), {0xAA, 0xBB, 0xCC});
  auto padded_result = decode_plane(padded, data.size(), 8);
  ASSERT_TRUE(padded_result.ok());
  EXPECT_EQ(padded_result.value(), data);
}

TEST(AransPlaneCoder, ZeroStateStopsAtTheEndOfThePlane) {
  // A state of 0 asks for words at every decision; the decoder must stop at
  // the end of the input rather than read past it.
  auto r = decode_plane(Bytes{0, 0, 0, 0, 0, 0}, 50, 3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), AransError::Truncated);
}

TEST(ProbabilityModel, SaturatesAt4081And15) {
  std::uint16_t rising = kProbabilityTotal / 2;
  std::uint16_t falling = kProbabilityTotal / 2;
  for (int i = 0; i < 500; ++i) {
    ProbabilityModel::update(rising, 0);
    ProbabilityModel::update(falling, 1);
    ASSERT_GE(rising, 1);
    ASSERT_LE(rising, 4095);
    ASSERT_GE(falling, 1);
    ASSERT_LE(falling, 4095);
  }
  EXPECT_EQ(rising, 4081);
  EXPECT_EQ(falling, 15);
  // The clamps hold for any stored value, not only reachable ones.
  std::uint16_t low = 1;
  ProbabilityModel::update(low, 1);
  EXPECT_EQ(low, 1);
  std::uint16_t high = 4095;
  ProbabilityModel::update(high, 0);
  EXPECT_EQ(high, 4095);
}

enum class Shape { Random, Constant, SmallValues };

Bytes make_data(Shape shape, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes data(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Random: data[i] = static_cast<std::uint8_t>(rng()); break;
      case Shape::Constant: data[i] = 0xA5; break;
      case Shape::SmallValues: data[i] = static_cast<std::uint8_t>(rng() % 4 == 0 ? rng() % 5 : 0); break;
    }
  }
  return data;
}

class PlaneRoundTrip : public ::testing::TestWithParam<std::tuple<Shape, unsigned>> {};

TEST_P(PlaneRoundTrip, DecodesWhatWasEncoded) {
  const auto [shape, c] = GetParam();
  for (std::size_t n : {1u, 2u, 3u, 5u, 17u, 255u, 256u, 1000u, 65537u}) {
    const Bytes data = make_data(shape, n, static_cast<unsigned>(n) + c);
    const Bytes coded = encode_plane(data, c);
    auto decoded = decode_plane(coded, n, c);
    ASSERT_TRUE(decoded.ok()) << n;
    EXPECT_EQ(decoded.value(), data) << n;
  }
}

INSTANTIATE_TEST_SUITE_P(ShapesAndContexts, PlaneRoundTrip,
                         ::testing::Combine(::testing::Values(Shape::Random, Shape::Constant,
                                                              Shape::SmallValues),
                                            ::testing::Values(0u, 3u, 8u)));

TEST(AransPlaneCoder, ConstantDataCompressesFarBelowItsSize) {
  const Bytes data(100000, 0x00);
  EXPECT_LT(encode_plane(data, 3).size(), 2000u);
}

}  // namespace
}  // namespace quorvane::arans
