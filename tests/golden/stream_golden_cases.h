// What the whole-stream goldens hold and how each value is computed; shared
// by the writer (write_stream_goldens.cc) and the test (stream_golden_test.cc)
// so that both name and compute every entry the same way.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "golden_file.h"
#include "quorvane/arans/arans.h"
#include "quorvane/codec/codec.h"
#include "quorvane/codec/header.h"
#include "quorvane/wavelet/factory.h"

namespace quorvane::golden {

using codec::CodecOptions;
using codec::CutoffLevel;
using codec::EntropyCoder;
using codec::WaveletMethod;

struct MethodName {
  WaveletMethod method;
  const char* name;
};
inline constexpr MethodName kMethods[] = {{WaveletMethod::cdf53, "cdf53"},
                                          {WaveletMethod::cdf97, "cdf97"},
                                          {WaveletMethod::db4, "db4"},
                                          {WaveletMethod::sym4, "sym4"}};

struct CoderName {
  EntropyCoder coder;
  const char* name;
};
inline constexpr CoderName kCoders[] = {{EntropyCoder::deflate, "deflate"},
                                        {EntropyCoder::arans, "arans"}};

struct OptionSet {
  std::uint8_t scale;
  CutoffLevel cutoff;
  const char* name;
  bool every_signal;  // otherwise only for kExtraOptionSignals
};
inline constexpr OptionSet kOptionSets[] = {{11, CutoffLevel::low, "s11.low", true},
                                            {6, CutoffLevel::high, "s6.high", false},
                                            {12, CutoffLevel::medium, "s12.medium", false}};
inline constexpr const char* kExtraOptionSignals[] = {"ecg_pywt", "chirp_80"};

inline bool option_set_applies(const OptionSet& options, const std::string& signal) {
  if (options.every_signal) return true;
  for (const char* name : kExtraOptionSignals) {
    if (signal == name) return true;
  }
  return false;
}

// "<signal>.<method>.<options>": the decoded samples and coefficient bytes do
// not depend on the coder; the stream adds ".<coder>".
inline std::string case_name(const std::string& signal, const MethodName& method,
                             const OptionSet& options) {
  return signal + "." + method.name + "." + options.name;
}

inline CodecOptions codec_options(const MethodName& method, const CoderName& coder,
                                  const OptionSet& options) {
  return CodecOptions{method.method, options.scale, options.cutoff, coder.coder};
}

// The raw DEFLATE payload inflated, or empty when it does not inflate.
inline std::vector<std::uint8_t> inflate_raw(std::span<const std::uint8_t> payload) {
  z_stream stream{};
  if (inflateInit2(&stream, -15) != Z_OK) return {};
  std::vector<std::uint8_t> out;
  std::uint8_t chunk[4096];
  stream.next_in = const_cast<Bytef*>(payload.data());
  stream.avail_in = static_cast<uInt>(payload.size());
  int status = Z_OK;
  while (status == Z_OK) {
    stream.next_out = chunk;
    stream.avail_out = sizeof chunk;
    status = inflate(&stream, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - stream.avail_out));
  }
  inflateEnd(&stream);
  return status == Z_STREAM_END ? out : std::vector<std::uint8_t>{};
}

// The coefficient bytes a stream carries, decoded by its own coder.
inline std::vector<std::uint8_t> payload_coefficients(std::span<const std::uint8_t> stream) {
  if (stream.size() < codec::HEADER_SIZE) return {};
  const std::span<const std::uint8_t> payload = stream.subspan(codec::HEADER_SIZE);
  if (stream[14] == codec::kCoderDeflate) return inflate_raw(payload);
  auto decoded = arans::decode_stream(payload);
  return decoded.ok() ? decoded.value() : std::vector<std::uint8_t>{};
}

// Transform vectors of the length-dependent rules of the transforms, each from
// an input stored beside it: "<transform>.n<N>.input", ".approximations",
// ".details" (one forward step) and ".inverse" (one inverse step of the stored
// approximations and details).
struct TransformCase {
  const char* transform;
  std::size_t n;
};
inline constexpr TransformCase kTransformCases[] = {
    // CDF 9/7: n mod 32 in {0, 1, 2} with n >= 32 leaves part of the update
    // undone; 35 and 36 are the neighbours that update everything.
    {"cdf97", 31}, {"cdf97", 32}, {"cdf97", 33}, {"cdf97", 34}, {"cdf97", 35},
    {"cdf97", 36}, {"cdf97", 64}, {"cdf97", 97},
    {"cdf53", 32}, {"cdf53", 33},
    // 8 taps: single and paired outputs (n = 8, 9, 10, 11, 23), and inverse
    // lengths on both sides of 16.
    {"db4", 8}, {"db4", 9}, {"db4", 10}, {"db4", 11}, {"db4", 16}, {"db4", 17},
    {"db4", 23}, {"db4", 24}, {"db4", 40},
    {"sym4", 10}, {"sym4", 17}, {"sym4", 24},
};

inline wavelet::DwtExecutorHandle transform_executor(const std::string& name) {
  using namespace wavelet;
  if (name == "cdf97") return make_cdf97_f32();
  if (name == "cdf53") return make_cdf53_f32();
  if (name == "db4") return make_daubechies_f32(DaubechiesFamily::Db4, BorderMode::Wrap);
  return make_symlet_f32(SymletFamily::Sym4, BorderMode::Wrap);
}

inline std::string transform_prefix(const TransformCase& c) {
  return std::string(c.transform) + ".n" + std::to_string(c.n);
}

}  // namespace quorvane::golden
