// Writes expected.txt and transforms.txt of the whole-stream goldens from
// inputs.txt, with today's codec. Run through regenerate_stream_goldens.py,
// never by the test suite.
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>

#include "golden_file.h"
#include "stream_golden_cases.h"

namespace quorvane::golden {
namespace {

// Samples whose magnitudes spread over several binades, so that a different
// order of the same sums or products changes the rounded result.
std::vector<float> transform_input(std::size_t n, std::uint32_t seed) {
  std::vector<float> out(n);
  std::uint32_t state = seed;
  for (float& v : out) {
    state = state * 1664525u + 1013904223u;
    const float mantissa = static_cast<float>(state >> 8) / 16777216.0f - 0.5f;
    state = state * 1664525u + 1013904223u;
    v = std::ldexp(mantissa, static_cast<int>(state >> 29) - 2);
  }
  return out;
}

int write_expected(const std::string& dir) {
  GoldenFile inputs;
  std::string problem;
  if (!read_golden_file(dir + "/inputs.txt", inputs, problem)) {
    std::cerr << problem << '\n';
    return 1;
  }
  std::ofstream out(dir + "/expected.txt");
  out << "# Whole-stream goldens: for every input of inputs.txt, method and option\n"
         "# set, the coefficient bytes and the decoded samples, and the stream of each\n"
         "# coder. Written by regenerate_stream_goldens.py; zlib_version names the zlib\n"
         "# that wrote the DEFLATE streams.\n";
  const std::string zlib = zlibVersion();
  write_bytes(out, "zlib_version", std::vector<std::uint8_t>(zlib.begin(), zlib.end()));
  for (const auto& [key, words] : inputs.words) {
    const std::string signal = key.substr(std::string("input.").size());
    const std::vector<float> samples = bits_to_floats(words);
    for (const MethodName& method : kMethods) {
      for (const OptionSet& options : kOptionSets) {
        if (!option_set_applies(options, signal)) continue;
        const std::string name = case_name(signal, method, options);
        std::vector<std::uint8_t> coefficients;
        for (const CoderName& coder : kCoders) {
          auto stream = codec::compress(samples, codec_options(method, coder, options));
          if (!stream.ok()) {
            std::cerr << name << ": " << stream.error().message() << '\n';
            return 1;
          }
          write_bytes(out, name + "." + coder.name + ".stream", stream.value());
          if (coefficients.empty()) {
            coefficients = payload_coefficients(stream.value());
            auto decoded = codec::decompress(stream.value());
            if (!decoded.ok()) {
              std::cerr << name << ": " << decoded.error().message() << '\n';
              return 1;
            }
            write_bytes(out, name + ".coefficients", coefficients);
            write_words(out, name + ".decoded", float_bits(decoded.value()));
          }
        }
      }
    }
  }
  return out ? 0 : 1;
}

int write_transforms(const std::string& dir) {
  std::ofstream out(dir + "/transforms.txt");
  out << "# One forward and one inverse step of each transform at the lengths where\n"
         "# its rounding or coverage rules change. Written by regenerate_stream_goldens.py.\n";
  std::uint32_t seed = 1;
  for (const TransformCase& c : kTransformCases) {
    const auto executor = transform_executor(c.transform);
    const std::string prefix = transform_prefix(c);
    const std::vector<float> input = transform_input(c.n, seed++);
    const auto size = executor->dwt_size(c.n);
    std::vector<float> a(size.approximations), d(size.details);
    const auto forward = executor->execute_forward(input, a, d);
    std::vector<float> inverse(executor->idwt_size(size), 0.0f);
    const auto back = executor->execute_inverse(a, d, inverse);
    if (!forward.ok() || !back.ok()) {
      std::cerr << prefix << " failed\n";
      return 1;
    }
    write_words(out, prefix + ".input", float_bits(input));
    write_words(out, prefix + ".approximations", float_bits(a));
    write_words(out, prefix + ".details", float_bits(d));
    write_words(out, prefix + ".inverse", float_bits(inverse));
  }
  return out ? 0 : 1;
}

}  // namespace
}  // namespace quorvane::golden

int main(int argc, char** argv) {
  if (argc != 2) {
    std::cerr << "usage: write_stream_goldens GOLDEN_DIR\n";
    return 2;
  }
  if (quorvane::golden::write_expected(argv[1]) != 0) return 1;
  return quorvane::golden::write_transforms(argv[1]);
}
