// The coder against a plain reference written here the long way: model pass
// into (frequency, start) pairs, a backward pass with true division, a final
// reversal; a decoder with the clamped update and a refill loop. Same bytes
// and the same results, errors included, across many lengths, every context
// size and payloads shaped like wavelet coefficients as well as synthetic
// ones.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <utility>
#include <vector>

#include "arans/rans_primitives.h"
#include "quorvane/arans/arans.h"

namespace quorvane::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;

// --- Reference ---------------------------------------------------------------

void reference_update(std::uint16_t& p, unsigned bit) {
  std::uint32_t v = bit == 0 ? p + ((4096u - p) >> 4) : p - (p >> 4u);
  if (v <= 1) v = 1;
  if (v >= 4095) v = 4095;
  p = static_cast<std::uint16_t>(v);
}

Bytes reference_encode_plane(const Bytes& data, unsigned c) {
  if (data.empty()) return {};
  std::vector<std::uint16_t> table(std::size_t{256} << c, 2048);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> pairs;
  std::uint8_t previous = 0;
  for (const std::uint8_t byte : data) {
    const std::size_t context = static_cast<std::size_t>(previous >> (8 - c));
    std::uint32_t node = 1;
    for (int b = 7; b >= 0; --b) {
      const unsigned bit = (byte >> b) & 1u;
      std::uint16_t& p = table[context * 256 + node];
      pairs.push_back(bit == 0 ? std::pair{std::uint32_t{p}, 0u} : std::pair{4096u - p, std::uint32_t{p}});
      reference_update(p, bit);
      node = node * 2 + bit;
    }
    previous = byte;
  }
  Bytes out;
  std::uint32_t x = 65536;
  for (std::size_t i = pairs.size(); i-- > 0;) {
    const auto [frequency, start] = pairs[i];
    while (x >= (frequency << 20)) {
      out.push_back(static_cast<std::uint8_t>((x >> 8) & 255));
      out.push_back(static_cast<std::uint8_t>(x & 255));
      x >>= 16;
    }
    x = (x / frequency) * 4096 + (x % frequency) + start;
  }
  for (int shift : {24, 16, 8, 0}) out.push_back(static_cast<std::uint8_t>((x >> shift) & 255));
  std::reverse(out.begin(), out.end());
  return out;
}

void write_leb128(Bytes& out, std::uint64_t value) {
  do {
    const auto low = static_cast<std::uint8_t>(value & 0x7F);
    value >>= 7;
    out.push_back(value != 0 ? (low | 0x80) : low);
  } while (value != 0);
}

Bytes reference_encode_stream(const Bytes& input) {
  const std::size_t n = input.size();
  if (n <= 5) return input;
  const std::size_t h = n / 2;
  Bytes a, b;
  for (std::size_t k = 0; k < h; ++k) {
    a.push_back(input[2 * k]);
    b.push_back(input[2 * k + 1]);
  }
  const unsigned c = n < 16384 ? 3 : 8;
  const Bytes coded_a = reference_encode_plane(a, c), coded_b = reference_encode_plane(b, c);
  Bytes out = {static_cast<std::uint8_t>(n & 1), static_cast<std::uint8_t>(c)};
  write_leb128(out, h);
  write_leb128(out, coded_a.size());
  out.insert(out.end(), coded_a.begin(), coded_a.end());
  out.insert(out.end(), coded_b.begin(), coded_b.end());
  if (n & 1) out.push_back(input[n - 1]);
  return out;
}

// Decoded bytes, or the error; `count` is trusted (the tests keep it small).
struct Decoded {
  bool ok;
  AransError error;
  Bytes bytes;
  bool operator==(const Decoded&) const = default;
};

Decoded failure(AransError error) { return {false, error, {}}; }

Decoded reference_decode_plane(const std::uint8_t* coded, std::size_t size, std::size_t count, unsigned c) {
  if (count == 0) return {true, {}, {}};
  if (size < 4) return failure(AransError::Truncated);
  std::vector<std::uint16_t> table(std::size_t{256} << c, 2048);
  std::uint32_t x = coded[0] | (coded[1] << 8) | (coded[2] << 16) | (std::uint32_t{coded[3]} << 24);
  std::size_t position = 4;
  Bytes out;
  std::uint8_t previous = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t context = static_cast<std::size_t>(previous >> (8 - c));
    std::uint32_t node = 1;
    for (int b = 0; b < 8; ++b) {
      std::uint16_t& p = table[context * 256 + node];
      const std::uint32_t slot = x & 4095;
      const unsigned bit = slot >= p ? 1 : 0;
      const std::uint32_t frequency = bit ? 4096u - p : p, start = bit ? p : 0u;
      x = frequency * (x >> 12) + slot - start;
      while (x < 65536) {
        if (size - position < 2) return failure(AransError::Truncated);
        x = (x << 16) | coded[position] | (coded[position + 1] << 8);
        position += 2;
      }
      reference_update(p, bit);
      node = node * 2 + bit;
    }
    previous = static_cast<std::uint8_t>(node - 256);
    out.push_back(previous);
  }
  return {true, {}, out};
}

Decoded reference_decode_stream(const Bytes& stream) {
  const std::size_t length = stream.size();
  if (length <= 5) return {true, {}, stream};
  const unsigned c = stream[1];
  if (c > 8) return failure(AransError::Inconsistent);
  std::size_t position = 2;
  std::uint64_t values[2];
  for (std::uint64_t& value : values) {
    auto r = rv(stream, position);
    if (!r.ok()) return failure(r.error());
    value = r.value();
    if (&value == &values[0] && value > (std::uint64_t{1} << 28)) return failure(AransError::Inconsistent);
  }
  const std::uint64_t h = values[0], a = values[1];
  if (a > ~std::uint64_t{0} - position) return failure(AransError::Inconsistent);
  const std::uint64_t end_a = position + a;
  const std::size_t t = stream[0] & 1;
  if (length - t < end_a) return failure(AransError::Truncated);
  const Decoded plane_a = reference_decode_plane(stream.data() + position, a, h, c);
  if (!plane_a.ok) return plane_a;
  const Decoded plane_b = reference_decode_plane(stream.data() + end_a, length - t - end_a, h, c);
  if (!plane_b.ok) return plane_b;
  Bytes out;
  for (std::size_t k = 0; k < h; ++k) {
    out.push_back(plane_a.bytes[k]);
    out.push_back(plane_b.bytes[k]);
  }
  if (t) out.push_back(stream[length - 1]);
  return {true, {}, out};
}

Decoded actual(const AransResult<Bytes>& r) { return r.ok() ? Decoded{true, {}, r.value()} : failure(r.error()); }

// --- Payloads ------------------------------------------------------------------

enum class Shape { Coefficients, Random, Constant, Sparse, Ramp, Runs };

// Little-endian 16-bit values laid out like the codec's coefficients: a
// coarse band of large values, then detail bands whose spread halves from
// band to band, mostly zero at the finest levels after the dead zone.
Bytes coefficient_bytes(std::size_t n, std::mt19937& rng) {
  Bytes out(n);
  std::exponential_distribution<double> magnitude(1.0);
  const std::size_t values = (n + 1) / 2;
  for (std::size_t i = 0; i < values; ++i) {
    const double position = static_cast<double>(i) / static_cast<double>(values);
    const double spread = position < 0.05 ? 8000.0 : 2000.0 * std::pow(2.0, -10.0 * position);
    auto v = static_cast<std::int32_t>(magnitude(rng) * spread) * (rng() & 1 ? 1 : -1);
    if (std::abs(v) < 3) v = 0;
    const auto word = static_cast<std::uint16_t>(std::clamp(v, -32768, 32767));
    out[2 * i] = static_cast<std::uint8_t>(word);
    if (2 * i + 1 < n) out[2 * i + 1] = static_cast<std::uint8_t>(word >> 8);
  }
  return out;
}

Bytes make_payload(Shape shape, std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  if (shape == Shape::Coefficients) return coefficient_bytes(n, rng);
  Bytes out(n);
  std::uint8_t run_value = 0;
  for (std::size_t i = 0; i < n; ++i) {
    switch (shape) {
      case Shape::Random: out[i] = static_cast<std::uint8_t>(rng()); break;
      case Shape::Constant: out[i] = 0xFF; break;
      case Shape::Sparse: out[i] = rng() % 50 == 0 ? static_cast<std::uint8_t>(rng()) : 0; break;
      case Shape::Ramp: out[i] = static_cast<std::uint8_t>(i % 2 == 0 ? i / 2 : i / 512); break;
      case Shape::Runs:
        if (rng() % 300 == 0) run_value = static_cast<std::uint8_t>(rng());
        out[i] = run_value;
        break;
      case Shape::Coefficients: break;
    }
  }
  return out;
}

constexpr Shape kShapes[] = {Shape::Coefficients, Shape::Random, Shape::Constant,
                             Shape::Sparse,       Shape::Ramp,   Shape::Runs};

// Every length up to 40, then a spread up to about 10^6 with the context
// switch at 16384 on both sides.
std::vector<std::size_t> stream_lengths() {
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 40; ++n) lengths.push_back(n);
  for (std::size_t n : {63u, 64u, 65u, 255u, 256u, 257u, 1000u, 4095u, 4096u, 9999u, 16382u, 16383u,
                        16384u, 16385u, 65535u, 65536u, 100003u, 262144u, 1000001u}) {
    lengths.push_back(n);
  }
  return lengths;
}

// --- Tests -------------------------------------------------------------------

class AgainstReference : public ::testing::TestWithParam<Shape> {};

TEST_P(AgainstReference, StreamsHaveTheSameBytesAndDecodeBack) {
  unsigned seed = 1;
  for (const std::size_t n : stream_lengths()) {
    // The largest payloads only for the realistic shape and one synthetic.
    if (n > 300000 && GetParam() != Shape::Coefficients && GetParam() != Shape::Random) continue;
    const Bytes input = make_payload(GetParam(), n, seed++);
    const Bytes coded = encode_stream(input);
    ASSERT_EQ(coded, reference_encode_stream(input)) << "n = " << n;
    ASSERT_EQ(actual(decode_stream(coded)), (Decoded{true, {}, input})) << "n = " << n;
  }
}

TEST_P(AgainstReference, PlanesHaveTheSameBytesForEveryContextSize) {
  std::mt19937 rng(static_cast<unsigned>(GetParam()) + 100);
  for (unsigned c = 0; c <= 8; ++c) {
    for (std::size_t n : {std::size_t{1}, std::size_t{2}, std::size_t{9}, std::size_t{rng() % 3000},
                          std::size_t{20000}}) {
      const Bytes data = make_payload(GetParam(), n, static_cast<unsigned>(rng()));
      const Bytes coded = encode_plane(data, c);
      ASSERT_EQ(coded, reference_encode_plane(data, c)) << "c = " << c << ", n = " << n;
      ASSERT_EQ(actual(decode_plane(coded, n, c)), (Decoded{true, {}, data})) << "c = " << c << ", n = " << n;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, AgainstReference, ::testing::ValuesIn(kShapes));

// Damaged streams: every cut of a few streams, random byte changes, and
// planes with states below 2^16 or runs of zero words, which take the
// decoder's checked path. Result and error must match the reference.
TEST(AgainstReference, DamagedStreamsGiveTheSameResultOrError) {
  std::mt19937 rng(5);
  for (const Shape shape : kShapes) {
    const Bytes input = make_payload(shape, 300 + rng() % 300, static_cast<unsigned>(rng()));
    const Bytes coded = encode_stream(input);
    for (std::size_t keep = 0; keep <= coded.size(); ++keep) {
      const Bytes cut(coded.begin(), coded.begin() + static_cast<std::ptrdiff_t>(keep));
      ASSERT_EQ(actual(decode_stream(cut)), reference_decode_stream(cut)) << "keep = " << keep;
    }
    for (int trial = 0; trial < 300; ++trial) {
      Bytes damaged = coded;
      for (unsigned changes = 1 + rng() % 3; changes > 0; --changes) {
        // Mostly inside the planes; the header bytes now and then.
        const std::size_t at = rng() % 4 == 0 ? rng() % 4 : rng() % damaged.size();
        damaged[at] = static_cast<std::uint8_t>(rng());
      }
      ASSERT_EQ(actual(decode_stream(damaged)), reference_decode_stream(damaged)) << "trial " << trial;
    }
  }
}

TEST(AgainstReference, CraftedPlanesGiveTheSameResultOrError) {
  std::mt19937 rng(9);
  for (int trial = 0; trial < 400; ++trial) {
    Bytes plane(4 + 2 * (rng() % 40));
    for (auto& b : plane) b = static_cast<std::uint8_t>(rng() % 3 == 0 ? 0 : rng());
    // Initial states from 0 up, far below and around the bound.
    const std::uint32_t state = trial % 4 == 0 ? 0u : rng() >> (rng() % 32);
    for (int i = 0; i < 4; ++i) plane[i] = static_cast<std::uint8_t>(state >> (8 * i));
    const unsigned c = rng() % 9;
    const std::size_t count = rng() % 64;
    ASSERT_EQ(actual(decode_plane(plane, count, c)), reference_decode_plane(plane.data(), plane.size(), count, c))
        << "trial " << trial;
  }
}

// The inner loops' update without clamps equals the clamped one on every
// probability reachable from 2048, and those lie within 15..4081.
TEST(AgainstReference, ReachableProbabilitiesNeverMeetTheClamps) {
  std::vector<bool> reachable(4096, false);
  std::vector<std::uint16_t> frontier = {2048};
  reachable[2048] = true;
  while (!frontier.empty()) {
    const std::uint16_t p = frontier.back();
    frontier.pop_back();
    for (unsigned bit : {0u, 1u}) {
      std::uint16_t next = p;
      reference_update(next, bit);
      ASSERT_EQ(next, adapted_probability(p, bit)) << p << " " << bit;
      if (!reachable[next]) {
        reachable[next] = true;
        frontier.push_back(next);
      }
    }
  }
  EXPECT_EQ(std::find(reachable.begin(), reachable.end(), true) - reachable.begin(), 15);
  EXPECT_EQ(std::find(reachable.rbegin(), reachable.rend(), true) - reachable.rbegin(), 4095 - 4081);
}

// The encoder divides through reciprocals; the quotient must be exact for
// every frequency it can meet, at the states where an error would show
// first: multiples of f and their neighbours, and the top of the range.
TEST(AgainstReference, ReciprocalDivisionIsExactForEveryFrequency) {
  std::mt19937 random(7);
  for (std::uint32_t f = 2; f < 4096; ++f) {
    std::vector<std::uint32_t> states = {0u, 1u, f - 1, f, f + 1, 0xFFFFFFFFu, 0xFFFFFFFFu - f};
    for (int i = 0; i < 24; ++i) {
      const std::uint32_t multiple = (random() / f) * f;
      states.insert(states.end(), {multiple, multiple - 1, multiple + f - 1});
    }
    for (const std::uint32_t x : states) ASSERT_EQ(divide_by_frequency(x, f), x / f) << x << " / " << f;
  }
}

}  // namespace
}  // namespace quorvane::arans
