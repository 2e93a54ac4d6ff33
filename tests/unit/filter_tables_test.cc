// The Daubechies and Symlet scaling-filter tables, their float32 narrowing
// and the quadrature-mirror high-pass rule.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "quorvane/wavelet/filters.h"

namespace quorvane::wavelet {
namespace {

struct Table {
  std::string name;
  int order;
  std::span<const double> taps;
  std::vector<float> narrowed;
};

std::vector<Table> all_tables() {
  std::vector<Table> tables;
  for (int k = 1; k <= 24; ++k) {
    const auto order = static_cast<DaubechiesFamily>(k - 1);
    tables.push_back({"db" + std::to_string(k), k, daubechies_table(order), get_wavelet(order)});
  }
  for (int k = 2; k <= 20; ++k) {
    const auto order = static_cast<SymletFamily>(k - 2);
    tables.push_back({"sym" + std::to_string(k), k, symlet_table(order), get_wavelet(order)});
  }
  return tables;
}

// Sums in extended precision so that the check measures the table, not the
// summation.
long double sum_of_products(std::span<const double> a, std::span<const double> b,
                            std::size_t offset) {
  long double sum = 0.0L;
  for (std::size_t k = 0; k + offset < b.size() && k < a.size(); ++k) {
    sum += static_cast<long double>(a[k]) * static_cast<long double>(b[k + offset]);
  }
  return sum;
}

TEST(FilterTables, EveryOrderHasTwiceItsOrderTaps) {
  const std::vector<Table> tables = all_tables();
  ASSERT_EQ(tables.size(), 24u + 19u);
  for (const Table& t : tables) {
    EXPECT_EQ(t.taps.size(), static_cast<std::size_t>(2 * t.order)) << t.name;
    EXPECT_EQ(t.narrowed.size(), t.taps.size()) << t.name;
  }
}

TEST(FilterTables, OrdersOutsideTheEnumerationGiveNoTaps) {
  EXPECT_TRUE(daubechies_table(static_cast<DaubechiesFamily>(24)).empty());
  EXPECT_TRUE(symlet_table(static_cast<SymletFamily>(19)).empty());
  EXPECT_TRUE(get_wavelet(static_cast<DaubechiesFamily>(255)).empty());
  EXPECT_TRUE(get_wavelet(static_cast<SymletFamily>(200)).empty());
}

TEST(FilterTables, OrthonormalScalingFilters) {
  const long double root_two = std::sqrt(2.0L);
  for (const Table& t : all_tables()) {
    SCOPED_TRACE(t.name);
    long double sum = 0.0L;
    for (double v : t.taps) sum += v;
    EXPECT_LE(std::fabs(sum - root_two), 1e-15L);
    EXPECT_LE(std::fabs(sum_of_products(t.taps, t.taps, 0) - 1.0L), 1e-10L);
    for (std::size_t shift = 2; shift < t.taps.size(); shift += 2) {
      EXPECT_LE(std::fabs(sum_of_products(t.taps, t.taps, shift)), 1e-10L) << "shift " << shift;
    }
  }
}

TEST(FilterTables, LowOrderDaubechiesMatchTheirClosedForms) {
  const double r2 = std::sqrt(2.0);
  const double r3 = std::sqrt(3.0);
  const double r10 = std::sqrt(10.0);
  const double q = std::sqrt(5.0 + 2.0 * r10);
  const std::vector<std::vector<double>> expected = {
      {1.0 / r2, 1.0 / r2},
      {(1 + r3) / (4 * r2), (3 + r3) / (4 * r2), (3 - r3) / (4 * r2), (1 - r3) / (4 * r2)},
      {(1 + r10 + q) * r2 / 32, (5 + r10 + 3 * q) * r2 / 32, (10 - 2 * r10 + 2 * q) * r2 / 32,
       (10 - 2 * r10 - 2 * q) * r2 / 32, (5 + r10 - 3 * q) * r2 / 32, (1 + r10 - q) * r2 / 32},
  };
  for (std::size_t k = 0; k < expected.size(); ++k) {
    const std::span<const double> taps = daubechies_table(static_cast<DaubechiesFamily>(k));
    ASSERT_EQ(taps.size(), expected[k].size());
    for (std::size_t i = 0; i < taps.size(); ++i) {
      EXPECT_NEAR(taps[i], expected[k][i], 1e-15) << "db" << k + 1 << " tap " << i;
    }
  }
}

TEST(FilterTables, DaubechiesCarryTheirEnergyFirst) {
  // Both families share |H|; the extremal-phase (minimum-phase) Daubechies
  // filter stored large taps first has the largest energy in every prefix.
  for (int k = 2; k <= 20; ++k) {
    SCOPED_TRACE(k);
    const auto db = daubechies_table(static_cast<DaubechiesFamily>(k - 1));
    const auto sym = symlet_table(static_cast<SymletFamily>(k - 2));
    long double db_energy = 0.0L;
    long double sym_energy = 0.0L;
    long double widest_gap = 0.0L;
    for (std::size_t j = 0; j < db.size(); ++j) {
      db_energy += static_cast<long double>(db[j]) * db[j];
      sym_energy += static_cast<long double>(sym[j]) * sym[j];
      EXPECT_GE(db_energy, sym_energy - 1e-10L) << "prefix " << j;
      widest_gap = std::max(widest_gap, db_energy - sym_energy);
    }
    if (k >= 4) {
      EXPECT_GT(widest_gap, 1e-3L);  // the families differ from order 4 on
    }
  }
}

TEST(FilterTables, ShortSymletsAreTheDaubechiesFilters) {
  for (int k = 2; k <= 3; ++k) {
    const auto db = daubechies_table(static_cast<DaubechiesFamily>(k - 1));
    const auto sym = symlet_table(static_cast<SymletFamily>(k - 2));
    ASSERT_EQ(db.size(), sym.size());
    for (std::size_t i = 0; i < db.size(); ++i) EXPECT_NEAR(db[i], sym[i], 1e-11) << k << " " << i;
    EXPECT_EQ(get_wavelet(static_cast<DaubechiesFamily>(k - 1)),
              get_wavelet(static_cast<SymletFamily>(k - 2)));
  }
}

TEST(FilterTables, NarrowingRoundsToTheNearestFloat) {
  for (const Table& t : all_tables()) {
    for (std::size_t i = 0; i < t.taps.size(); ++i) {
      const float f = t.narrowed[i];
      const double error = std::fabs(static_cast<double>(f) - t.taps[i]);
      const float below = std::nextafter(f, -std::numeric_limits<float>::infinity());
      const float above = std::nextafter(f, std::numeric_limits<float>::infinity());
      EXPECT_LE(error, std::fabs(static_cast<double>(below) - t.taps[i])) << t.name << " " << i;
      EXPECT_LE(error, std::fabs(static_cast<double>(above) - t.taps[i])) << t.name << " " << i;
    }
  }
}

struct PinnedWavelet {
  const char* name;
  std::span<const double> table;
  std::vector<float> taps;
  std::vector<double> stored;
  std::vector<float> narrowed;
  std::vector<float> high_pass;
};

std::vector<PinnedWavelet> pinned_wavelets() {
  return {
      {"db4",
       daubechies_table(DaubechiesFamily::Db4),
       get_wavelet(DaubechiesFamily::Db4),
       {0.2303778133088965, 0.7148465705529157, 0.6308807679298589, -0.027983769416859854,
        -0.18703481171909309, 0.030841381835560764, 0.0328830116668852, -0.010597401785069032},
       {0.230377808f, 0.714846551f, 0.630880773f, -0.0279837698f, -0.187034816f, 0.0308413822f,
        0.0328830108f, -0.0105974022f},
       {-0.0105974022f, -0.0328830108f, 0.0308413822f, 0.187034816f, -0.0279837698f,
        -0.630880773f, 0.714846551f, -0.230377808f}},
      {"sym4",
       symlet_table(SymletFamily::Sym4),
       get_wavelet(SymletFamily::Sym4),
       {0.0322231006040427, -0.012603967262037833, -0.09921954357684722, 0.29785779560527736,
        0.8037387518059161, 0.49761866763201545, -0.02963552764599851, -0.07576571478927333},
       {0.0322231017f, -0.0126039675f, -0.0992195457f, 0.297857791f, 0.803738773f, 0.497618675f,
        -0.0296355281f, -0.075765714f},
       {-0.075765714f, 0.0296355281f, 0.497618675f, -0.803738773f, 0.297857791f, 0.0992195457f,
        -0.0126039675f, -0.0322231017f}},
  };
}

TEST(PinnedWavelets, StoredNarrowedAndHighPassValues) {
  for (const PinnedWavelet& w : pinned_wavelets()) {
    SCOPED_TRACE(w.name);
    ASSERT_EQ(w.table.size(), 8u);
    ASSERT_EQ(w.taps.size(), 8u);
    const std::vector<float> high = low_pass_to_high(w.taps);
    for (std::size_t i = 0; i < 8; ++i) {
      EXPECT_EQ(w.table[i], w.stored[i]) << i;
      EXPECT_EQ(w.taps[i], w.narrowed[i]) << i;
      EXPECT_EQ(high[i], w.high_pass[i]) << i;
    }
  }
}

TEST(LowPassToHigh, HaarTaps) {
  const std::vector<float> high = low_pass_to_high(get_wavelet(DaubechiesFamily::Db1));
  ASSERT_EQ(high.size(), 2u);
  EXPECT_EQ(high[0], 0.707106769f);
  EXPECT_EQ(high[1], -0.707106769f);
}

TEST(LowPassToHigh, OnlyTheSignBitChanges) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<float> low = {0.0f, -0.0f, 1.5f, -2.25f, nan, 0x1p-149f,
                                  std::numeric_limits<float>::infinity(), 3.0f};
  const std::vector<float> high = low_pass_to_high(low);
  ASSERT_EQ(high.size(), low.size());
  for (std::size_t j = 0; j < low.size(); ++j) {
    const std::uint32_t sign = j % 2 == 0 ? 0u : 0x80000000u;
    EXPECT_EQ(std::bit_cast<std::uint32_t>(high[j]),
              std::bit_cast<std::uint32_t>(low[low.size() - 1 - j]) ^ sign)
        << j;
  }
  EXPECT_TRUE(low_pass_to_high(std::vector<float>{}).empty());
}

TEST(LowPassToHigh, BranchesAreOrthogonalAtEveryEvenShift) {
  for (const Table& t : all_tables()) {
    SCOPED_TRACE(t.name);
    const std::vector<float>& low = t.narrowed;
    const std::vector<float> high = low_pass_to_high(low);
    // Unshifted, in float32 as a filter bank would sum it.
    float same = 0.0f;
    for (std::size_t j = 0; j < low.size(); ++j) same += low[j] * high[j];
    EXPECT_LE(std::fabs(same), 1e-7f);
    // Every even shift either way, in double.
    const auto n = static_cast<std::ptrdiff_t>(low.size());
    for (std::ptrdiff_t shift = -(n - 2); shift <= n - 2; shift += 2) {
      double sum = 0.0;
      for (std::ptrdiff_t k = 0; k < n; ++k) {
        if (k + shift < 0 || k + shift >= n) continue;
        sum += static_cast<double>(low[k]) * static_cast<double>(high[k + shift]);
      }
      EXPECT_LE(std::fabs(sum), 1e-6) << "shift " << shift;
    }
  }
}

}  // namespace
}  // namespace quorvane::wavelet
