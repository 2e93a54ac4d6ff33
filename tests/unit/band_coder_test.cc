// The band coder (coder id 2): exact payload bytes, round trips over layouts
// and value distributions, every refusal of the decoder, and the bounds a
// hostile layout or payload meets.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "arans/band_model.h"
#include "arans/band_reciprocals.h"
#include "quorvane/arans/band_coder.h"

// GCC 12 reports the vectors inside brace-initialised case tables as maybe
// uninitialised: a false alarm.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

namespace quorvane::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<std::int16_t>;

Bytes encoded(const Values& values, const BandLayout& layout) {
  auto r = encode_bands(values, layout);
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : Bytes{};
}

AransError decode_error(const Bytes& payload, const BandLayout& layout) {
  auto r = decode_bands(payload, layout);
  EXPECT_FALSE(r.ok()) << "decoded " << (r.ok() ? r.value().size() : 0) << " values";
  return r.ok() ? AransError{} : r.error();
}

struct Golden {
  const char* name;
  Values values;
  BandLayout layout;
  Bytes payload;
};

// The payloads docs/format.md walks through; any change here is a format change.
TEST(BandCoderGolden, ExactBytes) {
  const std::vector<Golden> cases = {
      {"no values: the initial state alone", {}, {0, {}}, {0x00, 0x00, 0x01, 0x00}},
      {"one zero: one decision at 1/2 doubles the state", {0}, {1, {}}, {0x00, 0x00, 0x02, 0x00}},
      {"one approximation value", {5}, {1, {}}, {0x00, 0x80, 0x93, 0x00}},
      {"three bands",
       {100, 102, 99, 3, -2, 0, 1, -1, 0},
       {3, {4, 2}},
       {0x2f, 0xb1, 0x03, 0x00, 0x76, 0xb5, 0x46, 0x43, 0x00, 0x80}},
      {"extremes and a wrapped difference",
       {-32768, 32767, -32768},
       {1, {1, 1}},
       {0xff, 0xff, 0xff, 0xff, 0xff, 0xbf, 0xff, 0x9f, 0x00, 0x80}},
  };
  for (const Golden& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(encoded(c.values, c.layout), c.payload);
    auto back = decode_bands(c.payload, c.layout);
    ASSERT_TRUE(back.ok());
    EXPECT_EQ(back.value(), c.values);
  }
}

// Laplacian-like values whose spread shrinks toward the coarse bands, as in
// real decompositions, plus the distributions that stress the binarisation.
Values make_values(std::size_t count, int kind, std::mt19937& rng) {
  Values v(count);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::geometric_distribution<int> small(0.3);
  std::bernoulli_distribution coin(0.5);
  for (std::size_t i = 0; i < count; ++i) {
    switch (kind) {
      case 0: v[i] = static_cast<std::int16_t>(any(rng)); break;
      case 1: v[i] = static_cast<std::int16_t>(coin(rng) ? small(rng) : -small(rng)); break;
      case 2: v[i] = 0; break;
      case 3: v[i] = static_cast<std::int16_t>(i % 2 ? 32767 : -32768); break;
      default: v[i] = static_cast<std::int16_t>((coin(rng) ? 1 : -1) * (small(rng) << (i % 14))); break;
    }
  }
  return v;
}

BandLayout make_layout(std::size_t approximations, std::size_t finest, std::size_t levels) {
  BandLayout layout{approximations, {}};
  for (std::size_t i = 0; i < levels; ++i) {
    layout.details.push_back(finest);
    finest = (finest + 1) / 2;
  }
  return layout;
}

TEST(BandCoderRoundTrip, LayoutsAndDistributions) {
  std::mt19937 rng(20240607);
  const std::vector<BandLayout> layouts = {
      {0, {}},           {1, {}},          {2, {1}},          {5, {0, 3}},
      {0, {7, 0, 2}},    make_layout(2, 4, 2),               make_layout(9, 1000, 8),
      make_layout(40, 5000, 7),             make_layout(3, 17, 10),
      {3, {1, 50, 1}},  // parents far smaller than their children
  };
  for (const BandLayout& layout : layouts) {
    std::size_t count = 0;
    ASSERT_TRUE(layout.total(count));
    for (int kind = 0; kind < 5; ++kind) {
      SCOPED_TRACE(::testing::Message() << "count " << count << " kind " << kind);
      const Values values = make_values(count, kind, rng);
      const Bytes payload = encoded(values, layout);
      EXPECT_EQ(payload.size() % 2, 0u);
      auto back = decode_bands(payload, layout);
      ASSERT_TRUE(back.ok()) << message(back.error());
      EXPECT_EQ(back.value(), values);
    }
  }
}

TEST(BandCoderRoundTrip, SmallValuesCostFarLessThanTwoBytes) {
  std::mt19937 rng(7);
  const BandLayout layout = make_layout(100, 100000, 6);
  std::size_t count = 0;
  ASSERT_TRUE(layout.total(count));
  const Bytes zeros = encoded(Values(count, 0), layout);
  EXPECT_LT(zeros.size(), count / 500);
  const Bytes small = encoded(make_values(count, 1, rng), layout);
  EXPECT_LT(small.size(), count / 2);
}

TEST(BandCoderEncoder, RefusesValuesThatDoNotFitTheLayout) {
  EXPECT_EQ(encode_bands(Values(4), {3, {}}).error(), AransError::Inconsistent);
  EXPECT_EQ(encode_bands(Values(2), {1, {2}}).error(), AransError::Inconsistent);
  EXPECT_EQ(encode_bands(Values(1), {SIZE_MAX, {2}}).error(), AransError::Inconsistent);
}

TEST(BandCoderDecoder, RefusesDamagedPayloads) {
  const BandLayout layout{3, {4, 2}};
  const Bytes good = {0x2f, 0xb1, 0x03, 0x00, 0x76, 0xb5, 0x46, 0x43, 0x00, 0x80};
  struct Case {
    const char* name;
    Bytes payload;
    AransError error;
  };
  Bytes trailing = good;
  trailing.push_back(0);
  Bytes trailing_word = good;
  trailing_word.insert(trailing_word.end(), {0, 0});
  Bytes low_state = good;
  low_state[2] = 0x00;  // state 0x0000b12f < 2^16
  const Case cases[] = {
      {"empty", {}, AransError::Truncated},
      {"three bytes", {0x2f, 0xb1, 0x03}, AransError::Truncated},
      {"state alone", Bytes(good.begin(), good.begin() + 4), AransError::Truncated},
      {"one word short", Bytes(good.begin(), good.end() - 2), AransError::Truncated},
      {"odd trailing byte", trailing, AransError::Inconsistent},
      {"unread trailing word", trailing_word, AransError::Inconsistent},
      {"state below 2^16", low_state, AransError::Inconsistent},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(decode_error(c.payload, layout), c.error);
  }
  EXPECT_EQ(decode_error(good, {SIZE_MAX, {1}}), AransError::Inconsistent);
  // The same payload read with another layout does not end where it should.
  EXPECT_FALSE(decode_bands(good, {3, {4, 3}}).ok());
}

// Every single-bit change of a real payload is refused or decodes to other
// values of the right count; none is read past its end.
TEST(BandCoderDecoder, BitFlipsAreRefusedOrStayInBounds) {
  std::mt19937 rng(3);
  const BandLayout layout = make_layout(20, 300, 4);
  std::size_t count = 0;
  ASSERT_TRUE(layout.total(count));
  const Values values = make_values(count, 1, rng);
  const Bytes payload = encoded(values, layout);
  std::size_t refused = 0;
  for (std::size_t bit = 0; bit < payload.size() * 8; ++bit) {
    Bytes damaged = payload;
    damaged[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
    auto r = decode_bands(damaged, layout);
    if (r.ok()) {
      EXPECT_EQ(r.value().size(), count);
      EXPECT_NE(r.value(), values);
    } else {
      ++refused;
    }
  }
  // The end-state check catches nearly all of them.
  EXPECT_GT(refused, payload.size() * 8 * 9 / 10);
}

// A layout declaring far more values than any memory holds, behind a payload
// that cannot supply them, fails at once instead of reserving for the layout.
TEST(BandCoderDecoder, HugeDeclaredLayoutFailsWithoutTakingMemory) {
  const BandLayout huge{std::size_t{1} << 40, {std::size_t{1} << 40}};
  EXPECT_EQ(decode_error({0x00, 0x00, 0x01, 0x00}, huge), AransError::Truncated);
  EXPECT_EQ(decode_error({0xff, 0xff, 0xff, 0xff, 0x12, 0x34}, huge), AransError::Truncated);
}

// No probability may reach 0 or 65536: it would make a zero frequency.
TEST(BandCoderModel, CounterStaysInsideItsRange) {
  for (const unsigned bit : {0u, 1u}) {
    bands::Counter counter;
    for (int i = 0; i < 2000; ++i) counter.update(bit);
    EXPECT_EQ(counter.p, bit ? 31 : 65505);
  }
  bands::Counter counter;
  const std::uint16_t expected[] = {49152, 36864, 40448, 37920, 38783};
  for (int i = 0; i < 5; ++i) {
    counter.update(i % 2);
    EXPECT_EQ(counter.p, expected[i]) << "update " << i;
  }
}

// Every counter state reachable from the start, whatever the bits: the
// probabilities stay within 31..65505, so the encoder never meets a
// frequency below 31 and every one it meets has a reciprocal.
TEST(BandCoderModel, ReachableProbabilitiesStayWithin31And65505) {
  constexpr std::uint32_t kRates = bands::kSlowestRate + 1;
  std::vector<bool> reachable(std::size_t{bands::kProbabilityTotal} * kRates, false);
  std::vector<bands::Counter> frontier = {bands::Counter{}};
  reachable[std::size_t{frontier[0].p} * kRates + frontier[0].n] = true;
  std::size_t states = 1;
  while (!frontier.empty()) {
    const bands::Counter counter = frontier.back();
    frontier.pop_back();
    for (const unsigned bit : {0u, 1u}) {
      bands::Counter next = counter;
      next.update(bit);
      const std::size_t index = std::size_t{next.p} * kRates + next.n;
      if (!reachable[index]) {
        reachable[index] = true;
        frontier.push_back(next);
        ++states;
      }
    }
  }
  std::uint32_t lowest = bands::kProbabilityTotal, highest = 0;
  for (std::size_t index = 0; index < reachable.size(); ++index) {
    if (!reachable[index]) continue;
    lowest = std::min<std::uint32_t>(lowest, static_cast<std::uint32_t>(index / kRates));
    highest = std::max<std::uint32_t>(highest, static_cast<std::uint32_t>(index / kRates));
  }
  EXPECT_EQ(lowest, 31u);
  EXPECT_EQ(highest, 65505u);
  EXPECT_GT(states, 60000u);  // nearly every probability in between is met
}

// The encoder divides through reciprocals. Each entry is ceil(2^64 / f),
// checked here in 128 bits, which makes the quotient exact for every 32-bit
// state (see band_reciprocals.h); the spot checks sit where an error would
// show first: multiples of f and their neighbours, and the largest state
// the coding pass divides (f * 2^16 - 1) and beyond.
TEST(BandCoderEncoder, ReciprocalDivisionIsExactForEveryFrequency) {
  const bands::WideProduct two_to_64 = static_cast<bands::WideProduct>(1) << 64;
  std::mt19937 random(11);
  for (std::uint32_t f = 2; f < bands::kProbabilityTotal; ++f) {
    const bands::WideProduct product = static_cast<bands::WideProduct>(bands::kFrequencyReciprocals[f]) * f;
    ASSERT_GE(product, two_to_64) << f;
    ASSERT_LT(product - two_to_64, f) << f;
    std::vector<std::uint32_t> states = {0u, 1u, f - 1, f, f + 1, f * 65536u - 1, 0xFFFFFFFFu, 0xFFFFFFFFu - f};
    for (int i = 0; i < 4; ++i) {
      const std::uint32_t multiple = (static_cast<std::uint32_t>(random()) / f) * f;
      states.insert(states.end(), {multiple, multiple - 1, multiple + f - 1});
    }
    for (const std::uint32_t x : states) ASSERT_EQ(bands::divide_by_frequency(x, f), x / f) << x << " / " << f;
  }
  EXPECT_EQ(bands::kFrequencyReciprocals[0], 0u);
  EXPECT_EQ(bands::kFrequencyReciprocals[1], 0u);
}

TEST(BandCoderModel, ContextsFollowTheActivity) {
  EXPECT_EQ(bands::magnitude_context(0, 0, 0), 0u);
  EXPECT_EQ(bands::magnitude_context(0, 0, 1), 1u);
  EXPECT_EQ(bands::magnitude_context(1, 0, 0), 3u);  // activity 4
  EXPECT_EQ(bands::magnitude_context(0, 1, 1), 2u);  // activity 3
  EXPECT_EQ(bands::magnitude_context(32768, 32768, 3 * 32768), 11u);
}

}  // namespace
}  // namespace quorvane::arans
