// Measures, per method, the largest sum of |synthesis weights| that one output
// sample receives from the whole coefficient vector, over a range of signal
// lengths with the level counts the encoder picks. A per-coefficient error
// below e can therefore move a reconstructed sample by at most gain * e; the
// round-trip fuzz target bounds its errors with these figures.
// Usage: synthesis_gain [MAX_LENGTH [LENGTH...]]: every length up to 300, every
// 37th up to MAX_LENGTH (default 3000), and each further LENGTH given.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "level_count.h"
#include "wavelet_choice.h"

namespace {

using quorvane::codec::WaveletMethod;

double gain_at(const quorvane::wavelet::DwtExecutor& executor, std::size_t n) {
  const std::size_t transform_length = std::max(n, executor.filter_length());
  const std::size_t levels = quorvane::codec::level_count(n, executor.filter_length());
  std::vector<quorvane::wavelet::DwtSize> sizes{executor.dwt_size(transform_length)};
  for (std::size_t i = 1; i < levels; ++i) sizes.push_back(executor.dwt_size(sizes.back().approximations));
  std::size_t total = sizes.back().approximations;
  for (const auto& size : sizes) total += size.details;

  std::vector<float> coefficients(total, 0.0f);
  std::vector<double> row_sums(transform_length + 2, 0.0);
  for (std::size_t k = 0; k < total; ++k) {
    coefficients[k] = 1.0f;
    quorvane::wavelet::MultiDwtRef bands;
    bands.approximations = std::span<const float>(coefficients.data(), sizes.back().approximations);
    std::size_t offset = sizes.back().approximations;
    for (const auto& size : sizes) {
      bands.details.emplace_back(coefficients.data() + offset, size.details);
      offset += size.details;
    }
    auto column = executor.multi_idwt(bands);
    if (!column.ok()) {
      std::fprintf(stderr, "n=%zu: %s\n", n, column.error().message().c_str());
      std::exit(1);
    }
    const std::vector<float>& y = column.value();
    for (std::size_t i = 0; i < std::min(n, y.size()); ++i) row_sums[i] += std::abs(y[i]);
    coefficients[k] = 0.0f;
  }
  return *std::max_element(row_sums.begin(), row_sums.end());
}

}  // namespace

int main(int argc, char** argv) {
  const std::size_t max_length = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 3000;
  const char* const names[] = {"cdf53", "cdf97", "db4", "sym4"};
  for (int m = 0; m < 4; ++m) {
    const auto executor = quorvane::codec::executor_for(static_cast<WaveletMethod>(m));
    if (!executor) {
      std::printf("%s: not available\n", names[m]);
      continue;
    }
    double worst = 0.0;
    std::size_t worst_n = 0;
    std::vector<std::size_t> lengths;
    for (std::size_t n = 1; n <= max_length; n += n < 300 ? 1 : 37) lengths.push_back(n);
    for (int i = 2; i < argc; ++i) lengths.push_back(std::strtoul(argv[i], nullptr, 10));
    for (const std::size_t n : lengths) {
      const double gain = gain_at(*executor, n);
      if (gain > worst) worst = gain, worst_n = n;
    }
    std::printf("%s: gain %.4f at n = %zu\n", names[m], worst, worst_n);
  }
  return 0;
}
