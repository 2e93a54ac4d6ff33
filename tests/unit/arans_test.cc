// The rANS plane coder and its stream framing: published byte vectors,
// every error, round trips.
#include "quorvane/arans/arans.h"

#include <gtest/gtest.h>

#include <random>

#include "arans/probability_model.h"

namespace quorvane::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes decoded_plane(const Bytes& coded, std::size_t count, unsigned c) {
  auto r = decode_plane(coded, count, c);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : Bytes{};
}

AransError plane_error(const Bytes& coded, std::size_t count, unsigned c) {
  auto r = decode_plane(coded, count, c);
  EXPECT_FALSE(r.ok());
  return r.ok() ? AransError{} : r.error();
}

AransError stream_error(const Bytes& stream) {
  auto r = decode_stream(stream);
  EXPECT_FALSE(r.ok()) << "decoded " << (r.ok() ? r.value().size() : 0) << " bytes";
  return r.ok() ? AransError{} : r.error();
}

TEST(AransPlane, Vectors) {
  EXPECT_TRUE(encode_plane({}, 3).empty());
  const Bytes abc = {0x61, 0x62, 0x63};
  const Bytes coded = {0x92, 0x35, 0xb4, 0x00, 0x80, 0x33};
  EXPECT_EQ(encode_plane(abc, 3), coded);
  EXPECT_EQ(decoded_plane(coded, 3, 3), abc);
  for (unsigned c = 0; c <= 8; ++c) {
    EXPECT_EQ(encode_plane(Bytes{0x00}, c), (Bytes{0x00, 0x00, 0x00, 0x01})) << c;
    EXPECT_EQ(decoded_plane({0x00, 0x00, 0x00, 0x01}, 1, c), Bytes{0x00});
  }
}

TEST(AransPlane, CountZeroReadsNothing) {
  EXPECT_TRUE(decoded_plane({}, 0, 3).empty());
  EXPECT_TRUE(decoded_plane({1, 2}, 0, 8).empty());
}

TEST(AransPlane, Truncation) {
  EXPECT_EQ(plane_error({0x92, 0x35, 0xb4}, 1, 3), AransError::Truncated);
  EXPECT_EQ(plane_error({}, 1, 3), AransError::Truncated);
  std::mt19937 rng(5);
  Bytes data(1000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  Bytes coded = encode_plane(data, 3);
  coded.resize(coded.size() / 2);
  EXPECT_EQ(plane_error(coded, data.size(), 3), AransError::Truncated);
  // A zero state keeps asking for words; it must stop at the end of the input.
  EXPECT_EQ(plane_error(Bytes(40, 0), 1000, 3), AransError::Truncated);
}

TEST(AransPlane, ProbabilitiesSaturate) {
  std::uint16_t p = 2048;
  for (int i = 0; i < 1000; ++i) ProbabilityModel::update(p, 0);
  EXPECT_EQ(p, 4081);
  p = 2048;
  for (int i = 0; i < 1000; ++i) ProbabilityModel::update(p, 1);
  EXPECT_EQ(p, 15);
  for (std::uint32_t start = 1; start < 4096; ++start) {
    for (unsigned bit : {0u, 1u}) {
      std::uint16_t q = static_cast<std::uint16_t>(start);
      ProbabilityModel::update(q, bit);
      ASSERT_GE(q, 1);
      ASSERT_LE(q, 4095);
    }
  }
}

Bytes sample_data(int kind, std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes d(n);
  for (std::size_t i = 0; i < n; ++i) {
    switch (kind) {
      case 0: d[i] = static_cast<std::uint8_t>(rng()); break;         // random
      case 1: d[i] = 0xA5; break;                                       // constant
      default: d[i] = static_cast<std::uint8_t>(rng() % 5); break;      // small values
    }
  }
  return d;
}

TEST(AransPlane, RoundTrips) {
  for (unsigned c : {0u, 3u, 8u}) {
    for (int kind = 0; kind < 3; ++kind) {
      for (std::size_t n : {1, 2, 7, 100, 4097, 70000}) {
        const Bytes d = sample_data(kind, n, static_cast<std::uint32_t>(n + kind));
        const Bytes coded = encode_plane(d, c);
        EXPECT_EQ((coded.size() - 4) % 2, 0u);
        EXPECT_EQ(decoded_plane(coded, n, c), d) << c << " " << kind << " " << n;
      }
    }
  }
}

TEST(AransStream, Vectors) {
  EXPECT_EQ(encode_stream(Bytes{0, 1, 2, 3, 4, 5, 6, 7}),
            (Bytes{0x00, 0x03, 0x04, 0x06, 0x48, 0x06, 0x00, 0x3e, 0x21, 0x42, 0x9f, 0x07, 0x14, 0x3e,
                   0xab, 0x4d}));
  const Bytes seven = {0x01, 0x03, 0x03, 0x06, 0x04, 0x04, 0x78, 0x00, 0x50,
                       0xe7, 0x36, 0x07, 0x78, 0x00, 0x88, 0x8f, 0x06};
  EXPECT_EQ(encode_stream(Bytes{0, 1, 2, 3, 4, 5, 6}), seven);
  EXPECT_EQ(decode_stream(seven).value(), (Bytes{0, 1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(decode_stream(Bytes{0x01, 0x03, 0x00, 0x00, 0x41, 0x42}).value(), Bytes{0x42});
  EXPECT_TRUE(decode_stream(Bytes{0x00, 0x03, 0x00, 0x00, 0x41, 0x42}).value().empty());
}

TEST(AransStream, ShortInputsAreStoredRaw) {
  for (std::size_t n = 0; n <= 5; ++n) {
    const Bytes d = sample_data(0, n, 9);
    EXPECT_EQ(encode_stream(d), d);
    EXPECT_EQ(decode_stream(d).value(), d);
  }
  // Six bytes is the first framed length: flag, context bits, h = 3.
  const Bytes framed = encode_stream(Bytes(6, 1));
  ASSERT_GE(framed.size(), 12u);
  EXPECT_EQ(framed[0], 0);
  EXPECT_EQ(framed[1], 3);
  EXPECT_EQ(framed[2], 3);
}

TEST(AransStream, ContextBitsSwitchAt16384Bytes) {
  for (std::size_t n : {16383, 16384}) {
    const Bytes d = sample_data(2, n, 3);
    const Bytes s = encode_stream(d);
    EXPECT_EQ(s[1], n < 16384 ? 3 : 8);
    EXPECT_EQ(decode_stream(s).value(), d);
  }
}

TEST(AransStream, RoundTrips) {
  for (int kind = 0; kind < 3; ++kind) {
    for (std::size_t n = 0; n < 300; ++n) {
      const Bytes d = sample_data(kind, n, static_cast<std::uint32_t>(n));
      ASSERT_EQ(decode_stream(encode_stream(d)).value(), d) << kind << " " << n;
    }
  }
  const Bytes big = sample_data(2, 1 << 20, 1);
  EXPECT_EQ(decode_stream(encode_stream(big)).value(), big);
}

TEST(AransStream, ContextBitsZeroToEightAreReadable) {
  // A framed stream with c = 0 decodes when it was written with c = 0.
  const Bytes d = sample_data(0, 40, 2);
  Bytes even(20), odd(20);
  for (int k = 0; k < 20; ++k) even[k] = d[2 * k], odd[k] = d[2 * k + 1];
  const Bytes a = encode_plane(even, 0), b = encode_plane(odd, 0);
  Bytes s = {0x00, 0x00, 20, static_cast<std::uint8_t>(a.size())};
  s.insert(s.end(), a.begin(), a.end());
  s.insert(s.end(), b.begin(), b.end());
  EXPECT_EQ(decode_stream(s).value(), d);
  s[1] = 9;
  EXPECT_EQ(stream_error(s), AransError::Inconsistent);
}

TEST(AransStream, Errors) {
  const Bytes valid = encode_stream(sample_data(0, 200, 4));
  // Cut inside plane A: truncated while at least 6 bytes remain.
  for (std::size_t keep : {6, 8, 20}) {
    EXPECT_EQ(stream_error(Bytes(valid.begin(), valid.begin() + keep)), AransError::Truncated) << keep;
  }
  const Bytes five(valid.begin(), valid.begin() + 5);
  EXPECT_EQ(decode_stream(five).value(), five);
  // Varints.
  EXPECT_EQ(stream_error({0, 3, 0x80, 0x80, 0x80, 0x80}), AransError::Truncated);
  EXPECT_EQ(stream_error({0, 3, 0x81, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00}),
            AransError::Inconsistent);
  // h = 2^28 + 1 is refused before any plane; h = 2^28 passes that check and
  // then fails on the missing planes.
  EXPECT_EQ(stream_error({0, 3, 0x81, 0x80, 0x80, 0x80, 0x01, 0x00, 0, 0}), AransError::Inconsistent);
  EXPECT_EQ(stream_error({0, 3, 0x80, 0x80, 0x80, 0x80, 0x01, 0x00, 0, 0}), AransError::Truncated);
  // Plane A's end overflows 64 bits.
  EXPECT_EQ(stream_error({0, 3, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0}),
            AransError::Inconsistent);
  // Plane A longer than the stream.
  EXPECT_EQ(stream_error({0, 3, 0x03, 0x40, 1, 2, 3, 4}), AransError::Truncated);
}

TEST(AransStream, OddFlagDecidesTheTrailingByte) {
  const Bytes d = sample_data(0, 201, 8);
  Bytes s = encode_stream(d);
  ASSERT_EQ(s.back(), d.back());
  s.pop_back();
  auto shortened = decode_stream(s);
  EXPECT_TRUE(!shortened.ok() || shortened.value() != d);
}

TEST(Leb128, ReadsUpToTenBytes) {
  std::size_t position = 0;
  const Bytes max = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  EXPECT_EQ(rv(max, position).value(), ~std::uint64_t{0});
  EXPECT_EQ(position, 10u);
  position = 1;
  EXPECT_EQ(rv(Bytes{0x00, 0xE5, 0x8E, 0x26}, position).value(), 624485u);
  EXPECT_EQ(position, 4u);
}

}  // namespace
}  // namespace quorvane::arans
