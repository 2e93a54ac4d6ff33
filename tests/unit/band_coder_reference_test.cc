// The band coder against a plain reference written here the long way from
// docs/format.md: counters with the rate and both cases spelled out, a
// decision list of (frequency, start), a backward pass with true division
// and a decoder that refills word by word. Same bytes and the same results,
// errors included, across layouts, value distributions and damaged
// payloads: the coder's tables, packed decisions and unchecked fast paths
// must not change a bit of either.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <vector>

#include "quorvane/arans/band_coder.h"

namespace quorvane::arans {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Values = std::vector<std::int16_t>;

// --- Reference ---------------------------------------------------------------

struct ReferenceCounter {
  std::uint32_t p = 32768;
  std::uint32_t n = 0;
  void update(unsigned bit) {
    const std::uint32_t r = n < 5 ? n + 1 : 5;
    n = std::min(n + 1, 5u);
    if (bit == 0) {
      p = p + ((65536 - p) >> r);
    } else {
      p = p - (p >> r);
    }
  }
};

struct ReferenceModel {
  ReferenceCounter length[12][16];
  ReferenceCounter mantissa[16][16];
  ReferenceCounter sign[9];
};

unsigned bitlen(std::uint32_t v) {
  unsigned n = 0;
  while (v >> n) ++n;
  return n;
}

unsigned sign_class(std::int32_t v) { return v == 0 ? 0 : (v > 0 ? 1 : 2); }
std::int32_t wrap16(std::int32_t v) { return static_cast<std::int16_t>(static_cast<std::uint16_t>(v & 0xFFFF)); }

// Band starts and sizes in coding order: A, then D_L down to D_1.
struct Band {
  std::size_t start, size;
};

std::vector<Band> coding_order(const BandLayout& layout) {
  std::vector<Band> bands = {{0, layout.approximations}};
  std::size_t start = layout.approximations;
  for (std::size_t i = layout.details.size(); i-- > 0;) {
    bands.push_back({start, layout.details[i]});
    start += layout.details[i];
  }
  return bands;
}

// Runs the model over every value in coding order. `bit_of` gives each
// decision's bit: the value's own when encoding, the decoded one when
// decoding (it may stop the walk by returning -1). Returns the symbols'
// values in coding order, or nothing when stopped.
template <class BitOf>
bool reference_walk(const BandLayout& layout, Values& coding_values, bool decoding, BitOf bit_of) {
  ReferenceModel approximation, detail;
  const std::vector<Band> bands = coding_order(layout);
  for (std::size_t b = 0; b < bands.size(); ++b) {
    ReferenceModel& model = b == 0 ? approximation : detail;
    const bool has_parent = b >= 2 && bands[b - 1].size > 0;
    std::int32_t s1 = 0, s2 = 0, a_previous = 0;
    for (std::size_t j = 0; j < bands[b].size; ++j) {
      std::uint32_t parent_activity = 0;
      unsigned parent_class = 0;
      if (has_parent) {
        const std::size_t np = bands[b - 1].size;
        const std::size_t pj = std::min(j / 2, np - 1);
        const std::size_t qj = (j % 2 == 1) ? std::min(pj + 1, np - 1) : (pj > 0 ? pj - 1 : 0);
        const std::int32_t parent = coding_values[bands[b - 1].start + pj];
        const std::int32_t neighbour = coding_values[bands[b - 1].start + qj];
        parent_activity = 2 * static_cast<std::uint32_t>(std::abs(parent)) + static_cast<std::uint32_t>(std::abs(neighbour));
        parent_class = sign_class(parent);
      }
      const std::uint32_t activity = 4 * static_cast<std::uint32_t>(std::abs(s1)) +
                                     2 * static_cast<std::uint32_t>(std::abs(s2)) + parent_activity;
      const unsigned ctx = std::min(bitlen(activity), 11u);
      const unsigned sctx = 3 * sign_class(s1) + parent_class;

      std::int32_t s = 0;
      if (!decoding) {
        const std::int32_t a = coding_values[bands[b].start + j];
        s = b == 0 ? wrap16(a - a_previous) : a;
      }
      const std::uint32_t m = static_cast<std::uint32_t>(std::abs(s));
      const unsigned L_true = bitlen(m);
      unsigned L = 0;
      for (unsigned k = 0; k < 16; ++k) {
        const int bit = bit_of(model.length[ctx][k], L_true > k ? 1 : 0);
        if (bit < 0) return false;
        if (bit == 0) break;
        ++L;
      }
      std::int32_t decoded = 0;
      if (L == 16) {
        decoded = -32768;
      } else if (L > 0) {
        std::uint32_t mag = 1;
        for (unsigned t = 0; t + 1 < L; ++t) {
          const int bit = bit_of(model.mantissa[L][t], (m >> (L - 2 - t)) & 1);
          if (bit < 0) return false;
          mag = mag * 2 + static_cast<std::uint32_t>(bit);
        }
        const int negative = bit_of(model.sign[sctx], s < 0 ? 1 : 0);
        if (negative < 0) return false;
        decoded = negative ? -static_cast<std::int32_t>(mag) : static_cast<std::int32_t>(mag);
      }
      s2 = s1;
      s1 = decoded;
      const std::int32_t a = b == 0 ? wrap16(a_previous + decoded) : decoded;
      a_previous = a;
      if (decoding) coding_values.push_back(static_cast<std::int16_t>(a));
    }
  }
  return true;
}

Values to_coding_order(const Values& values, const BandLayout& layout) {
  Values out(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(layout.approximations));
  std::size_t end = values.size();
  for (std::size_t i = layout.details.size(); i-- > 0;) {
    out.insert(out.end(), values.begin() + static_cast<std::ptrdiff_t>(end - layout.details[i]),
               values.begin() + static_cast<std::ptrdiff_t>(end));
    end -= layout.details[i];
  }
  return out;
}

Values to_stream_layout(const Values& coding, const BandLayout& layout) {
  Values out(coding.begin(), coding.begin() + static_cast<std::ptrdiff_t>(layout.approximations));
  std::vector<Values> details;
  std::size_t start = layout.approximations;
  for (std::size_t i = layout.details.size(); i-- > 0;) {
    details.insert(details.begin(), Values(coding.begin() + static_cast<std::ptrdiff_t>(start),
                                           coding.begin() + static_cast<std::ptrdiff_t>(start + layout.details[i])));
    start += layout.details[i];
  }
  for (const Values& band : details) out.insert(out.end(), band.begin(), band.end());
  return out;
}

Bytes reference_encode(const Values& values, const BandLayout& layout) {
  Values coding = to_coding_order(values, layout);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> decisions;  // (frequency, start)
  reference_walk(layout, coding, false, [&](ReferenceCounter& c, unsigned bit) {
    decisions.push_back(bit == 0 ? std::pair{c.p, 0u} : std::pair{65536 - c.p, c.p});
    c.update(bit);
    return static_cast<int>(bit);
  });
  std::vector<std::uint16_t> words;
  std::uint32_t x = 65536;
  for (std::size_t i = decisions.size(); i-- > 0;) {
    const auto [frequency, start] = decisions[i];
    if (x >= frequency * 65536ull) {
      words.push_back(static_cast<std::uint16_t>(x & 0xFFFF));
      x >>= 16;
    }
    x = (x / frequency) * 65536 + (x % frequency) + start;
  }
  Bytes out = {static_cast<std::uint8_t>(x), static_cast<std::uint8_t>(x >> 8), static_cast<std::uint8_t>(x >> 16),
               static_cast<std::uint8_t>(x >> 24)};
  for (std::size_t i = words.size(); i-- > 0;) {
    out.push_back(static_cast<std::uint8_t>(words[i]));
    out.push_back(static_cast<std::uint8_t>(words[i] >> 8));
  }
  return out;
}

struct Decoded {
  bool ok;
  AransError error;
  Values values;
  bool operator==(const Decoded&) const = default;
};

Decoded reference_decode(const Bytes& payload, const BandLayout& layout) {
  if (payload.size() < 4) return {false, AransError::Truncated, {}};
  std::uint32_t x = payload[0] | (payload[1] << 8) | (payload[2] << 16) | (std::uint32_t{payload[3]} << 24);
  if (x < 65536) return {false, AransError::Inconsistent, {}};
  std::size_t position = 4;
  Values coding;
  const bool complete = reference_walk(layout, coding, true, [&](ReferenceCounter& c, unsigned) {
    const std::uint32_t slot = x & 0xFFFF;
    const unsigned bit = slot >= c.p ? 1 : 0;
    const std::uint32_t frequency = bit ? 65536 - c.p : c.p, start = bit ? c.p : 0;
    x = frequency * (x >> 16) + slot - start;
    if (x < 65536) {
      if (payload.size() - position < 2) return -1;
      x = (x << 16) | payload[position] | (payload[position + 1] << 8);
      position += 2;
    }
    c.update(bit);
    return static_cast<int>(bit);
  });
  if (!complete) return {false, AransError::Truncated, {}};
  if (x != 65536 || position != payload.size()) return {false, AransError::Inconsistent, {}};
  return {true, {}, to_stream_layout(coding, layout)};
}

Decoded decoded(const Bytes& payload, const BandLayout& layout) {
  auto r = decode_bands(payload, layout);
  if (!r.ok()) return {false, r.error(), {}};
  return {true, {}, r.value()};
}

// --- Cases -------------------------------------------------------------------

// Values as wavelet bands hold them (mostly zero, Laplacian, wider toward the
// coarse bands), plus uniform 16-bit noise and the extremes, so that every
// length 0..16, every context and every sign context is reached.
Values make_values(const BandLayout& layout, int kind, std::mt19937& rng) {
  std::size_t count = 0;
  layout.total(count);
  Values v(count);
  std::uniform_int_distribution<int> any(-32768, 32767);
  std::bernoulli_distribution coin(0.5);
  for (std::size_t i = 0; i < count; ++i) {
    // Larger near the front (the approximation and coarse bands).
    const double spread = 1 + 2000.0 * (1.0 - static_cast<double>(i) / count) * (1.0 - static_cast<double>(i) / count);
    std::geometric_distribution<int> laplace(1.0 / (kind == 0 ? 4 : spread));
    switch (kind) {
      case 0:
      case 1: v[i] = static_cast<std::int16_t>(std::bernoulli_distribution(0.3)(rng) ? (coin(rng) ? 1 : -1) * std::min(laplace(rng), 32767) : 0); break;
      case 2: v[i] = static_cast<std::int16_t>(any(rng)); break;
      default: v[i] = static_cast<std::int16_t>(coin(rng) ? -32768 : (coin(rng) ? 32767 : 0)); break;
    }
  }
  return v;
}

std::vector<BandLayout> layouts() {
  std::vector<BandLayout> out = {{0, {}}, {1, {}}, {3, {4, 2}}, {1, {1, 1}}, {5, {0, 3}}, {0, {7, 0, 2}},
                                 {3, {1, 50, 1}}, {2, {5000}}};
  for (const std::size_t finest : {9, 100, 1000, 20000}) {
    BandLayout layout{(finest >> 4) + 1, {}};
    for (std::size_t size = finest; layout.details.size() < 5; size = (size + 1) / 2) layout.details.push_back(size);
    out.push_back(layout);
  }
  return out;
}

TEST(BandCoderAgainstReference, SameBytesAndValues) {
  std::mt19937 rng(1607);
  for (const BandLayout& layout : layouts()) {
    for (int kind = 0; kind < 4; ++kind) {
      const Values values = make_values(layout, kind, rng);
      SCOPED_TRACE(::testing::Message() << "values " << values.size() << " kind " << kind);
      const Bytes expected = reference_encode(values, layout);
      auto payload = encode_bands(values, layout);
      ASSERT_TRUE(payload.ok());
      ASSERT_EQ(payload.value(), expected);
      EXPECT_EQ(decoded(expected, layout), reference_decode(expected, layout));
      EXPECT_EQ(decoded(expected, layout).values, values);
    }
  }
}

// The decoder's storage grows from 2^16 values, so it decodes a long band in
// runs that restart mid-band: here at an odd and at an even index of the
// finest band, with the parent's part of the contexts formed per run.
TEST(BandCoderAgainstReference, SameValuesAcrossTheDecodersStorageGrowth) {
  std::mt19937 rng(5);
  for (const BandLayout& layout : {BandLayout{1, {70000, 40000}}, BandLayout{2, {70000, 40000}}}) {
    const Values values = make_values(layout, 1, rng);
    const Bytes expected = reference_encode(values, layout);
    auto payload = encode_bands(values, layout);
    ASSERT_TRUE(payload.ok());
    ASSERT_EQ(payload.value(), expected);
    EXPECT_EQ(decoded(expected, layout).values, values);
  }
}

// Damaged payloads: both decoders give the same values or the same error,
// whether the damage is a cut (at every length near the end, where the
// decoder leaves its unchecked path), flipped bits or extra bytes.
TEST(BandCoderAgainstReference, SameResultsForDamagedPayloads) {
  std::mt19937 rng(99);
  std::size_t compared = 0;
  for (const BandLayout& layout : layouts()) {
    const Values values = make_values(layout, 1, rng);
    const Bytes good = reference_encode(values, layout);
    std::vector<Bytes> damaged;
    for (std::size_t cut = good.size() > 200 ? good.size() - 200 : 0; cut < good.size(); ++cut) {
      damaged.emplace_back(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(cut));
    }
    std::uniform_int_distribution<std::size_t> any_bit(0, good.size() * 8 - 1);
    for (int i = 0; i < 200; ++i) {
      Bytes flipped = good;
      const std::size_t bit = any_bit(rng);
      flipped[bit / 8] ^= static_cast<std::uint8_t>(1u << (bit % 8));
      damaged.push_back(flipped);
    }
    for (const Bytes& tail : {Bytes{0}, Bytes{0, 0}, Bytes(100, 0xA5)}) {
      Bytes longer = good;
      longer.insert(longer.end(), tail.begin(), tail.end());
      damaged.push_back(longer);
    }
    for (const Bytes& payload : damaged) {
      ASSERT_EQ(decoded(payload, layout), reference_decode(payload, layout)) << "payload of " << payload.size() << " bytes";
      ++compared;
    }
  }
  EXPECT_GT(compared, 3000u);
}

}  // namespace
}  // namespace quorvane::arans
