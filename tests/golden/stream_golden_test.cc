// Whole-stream goldens: today's exact stream bytes and reconstructions for
// every method and coder on short real and synthetic signals, and the
// transform vectors at the lengths where the transforms' rounding and
// coverage rules change. Stored streams decode bit-exactly only while these
// hold. The files are rewritten only by regenerate_stream_goldens.py.
#include <gtest/gtest.h>

#include <zlib.h>

#include <string>
#include <vector>

#include "golden_file.h"
#include "level_count.h"
#include "stream_golden_cases.h"

namespace quorvane::golden {
namespace {

const GoldenFile& load(const char* file_name) {
  static std::map<std::string, GoldenFile> files;
  auto [it, inserted] = files.try_emplace(file_name);
  if (inserted) {
    std::string problem;
    const bool ok = read_golden_file(std::string(QUORVANE_GOLDEN_DIR) + "/" + file_name,
                                     it->second, problem);
    EXPECT_TRUE(ok) << problem;
  }
  return it->second;
}

const GoldenFile& inputs() { return load("inputs.txt"); }
const GoldenFile& expected() { return load("expected.txt"); }
const GoldenFile& transforms() { return load("transforms.txt"); }

template <class T>
const std::vector<T>& entry(const std::map<std::string, std::vector<T>>& map,
                            const std::string& name) {
  static const std::vector<T> kMissing;
  const auto it = map.find(name);
  if (it == map.end()) {
    ADD_FAILURE() << "golden entry " << name << " is missing";
    return kMissing;
  }
  return it->second;
}

// Equal sequences, or a message naming the first differing index.
template <class T>
::testing::AssertionResult same_sequence(const std::vector<T>& actual,
                                         const std::vector<T>& golden) {
  if (actual.size() != golden.size()) {
    return ::testing::AssertionFailure()
           << "length " << actual.size() << ", golden " << golden.size();
  }
  for (std::size_t i = 0; i < actual.size(); ++i) {
    if (actual[i] != golden[i]) {
      return ::testing::AssertionFailure() << "first difference at index " << i << ": 0x"
                                           << std::hex << +actual[i] << ", golden 0x"
                                           << +golden[i];
    }
  }
  return ::testing::AssertionSuccess();
}

struct StreamCase {
  std::string signal;
  std::vector<float> samples;
  const MethodName* method;
  const OptionSet* options;
  std::string name;
};

std::vector<StreamCase> stream_cases() {
  std::vector<StreamCase> cases;
  for (const auto& [key, words] : inputs().words) {
    const std::string signal = key.substr(std::string("input.").size());
    for (const MethodName& method : kMethods) {
      for (const OptionSet& options : kOptionSets) {
        if (!option_set_applies(options, signal)) continue;
        cases.push_back({signal, bits_to_floats(words), &method, &options,
                         case_name(signal, method, options)});
      }
    }
  }
  return cases;
}

TEST(StreamGolden, FilesCoverEveryMethodAndCoder) {
  const auto cases = stream_cases();
  // 14 signals x 4 methods, plus 2 signals x 4 methods x 2 more option sets.
  ASSERT_EQ(inputs().words.size(), 14u);
  ASSERT_EQ(cases.size(), 14u * 4u + 2u * 4u * 2u);
  EXPECT_EQ(expected().words.size(), cases.size());
  EXPECT_EQ(expected().bytes.size(), 1u + cases.size() * 3u);
}

TEST(StreamGolden, RansStreamsAreByteExact) {
  for (const StreamCase& c : stream_cases()) {
    auto stream = codec::compress(c.samples, codec_options(*c.method, kCoders[1], *c.options));
    ASSERT_TRUE(stream.ok()) << c.name << ": " << stream.error().message();
    EXPECT_TRUE(same_sequence(stream.value(), entry(expected().bytes, c.name + ".arans.stream")))
        << c.name;
  }
}

// zlib builds may emit different DEFLATE bytes for the same input, so the
// header and the inflated coefficient bytes are pinned everywhere and the
// DEFLATE bytes themselves under the zlib that wrote them.
TEST(StreamGolden, DeflateStreamsMatchHeaderCoefficientsAndBytes) {
  const std::vector<std::uint8_t>& version = entry(expected().bytes, "zlib_version");
  const bool same_zlib = std::string(version.begin(), version.end()) == zlibVersion();
  for (const StreamCase& c : stream_cases()) {
    auto stream = codec::compress(c.samples, codec_options(*c.method, kCoders[0], *c.options));
    ASSERT_TRUE(stream.ok()) << c.name << ": " << stream.error().message();
    const std::vector<std::uint8_t>& golden = entry(expected().bytes, c.name + ".deflate.stream");
    ASSERT_GE(stream.value().size(), codec::HEADER_SIZE);
    ASSERT_GE(golden.size(), codec::HEADER_SIZE);
    // The header's payload length (bytes 48..51) follows the DEFLATE bytes.
    const std::vector<std::uint8_t> header(stream.value().begin(), stream.value().begin() + 48);
    const std::vector<std::uint8_t> golden_header(golden.begin(), golden.begin() + 48);
    EXPECT_TRUE(same_sequence(header, golden_header)) << c.name;
    EXPECT_TRUE(same_sequence(payload_coefficients(stream.value()),
                              entry(expected().bytes, c.name + ".coefficients")))
        << c.name;
    if (same_zlib) {
      EXPECT_TRUE(same_sequence(stream.value(), golden)) << c.name;
    }
  }
}

TEST(StreamGolden, GoldenStreamsDecodeToGoldenSamples) {
  for (const StreamCase& c : stream_cases()) {
    const std::vector<std::uint32_t>& samples = entry(expected().words, c.name + ".decoded");
    EXPECT_EQ(samples.size(), c.samples.size()) << c.name;
    for (const CoderName& coder : kCoders) {
      const auto& stream = entry(expected().bytes, c.name + "." + coder.name + ".stream");
      auto decoded = codec::decompress(stream);
      ASSERT_TRUE(decoded.ok()) << c.name << ": " << decoded.error().message();
      EXPECT_TRUE(same_sequence(float_bits(decoded.value()), samples))
          << c.name << " " << coder.name;
      EXPECT_TRUE(same_sequence(payload_coefficients(stream),
                                entry(expected().bytes, c.name + ".coefficients")))
          << c.name << " " << coder.name;
    }
  }
}

// Fixed counts below 80 samples, then floor(log2(n / filter length)) in 1..8:
// 79 samples get more levels than 80.
TEST(StreamGolden, LevelCountRule) {
  struct Row {
    std::size_t n, filter_length, levels;
  };
  const Row rows[] = {{1, 10, 1},   {19, 10, 1},  {20, 10, 2},  {39, 10, 2},   {40, 10, 3},
                      {59, 10, 3},  {60, 10, 4},  {79, 10, 4},  {80, 10, 3},   {159, 10, 3},
                      {160, 10, 4}, {80, 8, 3},   {127, 8, 3},  {128, 8, 4},   {80, 6, 3},
                      {95, 6, 3},   {96, 6, 4},   {2560, 10, 8}, {1u << 30, 10, 8}};
  for (const Row& row : rows) {
    EXPECT_EQ(codec::level_count(row.n, row.filter_length), row.levels)
        << "n " << row.n << " filter " << row.filter_length;
  }
  // The level byte of the stored streams, for both sides of the rule.
  const std::pair<const char*, std::uint8_t> headers[] = {
      {"chirp_79.cdf97.s11.low.arans.stream", 4}, {"chirp_80.cdf97.s11.low.arans.stream", 3},
      {"chirp_79.db4.s11.low.arans.stream", 4},   {"chirp_80.db4.s11.low.arans.stream", 3},
      {"ecg_pywt.cdf97.s11.low.arans.stream", 4}, {"ecg_pywt.sym4.s11.low.arans.stream", 5}};
  for (const auto& [name, levels] : headers) {
    const auto& stream = entry(expected().bytes, name);
    ASSERT_GT(stream.size(), 12u) << name;
    EXPECT_EQ(stream[12], levels) << name;
  }
}

void check_transforms(const std::string& transform) {
  std::size_t checked = 0;
  for (const TransformCase& c : kTransformCases) {
    if (transform != c.transform) continue;
    const std::string prefix = transform_prefix(c);
    const auto executor = transform_executor(c.transform);
    const std::vector<float> input = bits_to_floats(entry(transforms().words, prefix + ".input"));
    const auto size = executor->dwt_size(input.size());
    std::vector<float> a(size.approximations), d(size.details);
    ASSERT_TRUE(executor->execute_forward(input, a, d).ok()) << prefix;
    EXPECT_TRUE(same_sequence(float_bits(a), entry(transforms().words, prefix + ".approximations")))
        << prefix << " approximations";
    EXPECT_TRUE(same_sequence(float_bits(d), entry(transforms().words, prefix + ".details")))
        << prefix << " details";

    const std::vector<float> golden_a =
        bits_to_floats(entry(transforms().words, prefix + ".approximations"));
    const std::vector<float> golden_d =
        bits_to_floats(entry(transforms().words, prefix + ".details"));
    std::vector<float> output(executor->idwt_size(size), 0.0f);
    ASSERT_TRUE(executor->execute_inverse(golden_a, golden_d, output).ok()) << prefix;
    EXPECT_TRUE(same_sequence(float_bits(output), entry(transforms().words, prefix + ".inverse")))
        << prefix << " inverse";
    ++checked;
  }
  EXPECT_GT(checked, 0u);
}

// The update passes leave part of the interior alone for n >= 32 with
// n mod 32 in {0, 1, 2}; forward and inverse share the rule.
TEST(TransformGolden, Cdf97UpdateCoverageRule) { check_transforms("cdf97"); }
TEST(TransformGolden, Cdf53) { check_transforms("cdf53"); }
// Four-lane sums, paired interior outputs summed in another order than single
// ones, and the inverse's term order that depends on the output length.
TEST(TransformGolden, Db4LaneSumAndInverseTermOrder) { check_transforms("db4"); }
TEST(TransformGolden, Sym4LaneSumAndInverseTermOrder) { check_transforms("sym4"); }

}  // namespace
}  // namespace quorvane::golden
