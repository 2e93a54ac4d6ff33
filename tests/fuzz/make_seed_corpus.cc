// Writes the seed corpus of every fuzz target: valid streams of every method
// and both coders at several lengths, scales and cut-offs, their rANS
// payloads, coded planes with their counts, and round-trip inputs of every
// signal mode. Usage: make_seed_corpus OUTPUT_DIR (creates
// OUTPUT_DIR/corpus-<target>/ for each target).
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "fuzz_checks.h"
#include "wavelet_choice.h"

namespace {

namespace fs = std::filesystem;
using quorvane::codec::CodecOptions;
using quorvane::codec::CutoffLevel;
using quorvane::codec::EntropyCoder;
using quorvane::codec::WaveletMethod;

int written = 0;

void write_seed(const fs::path& dir, const std::string& name, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(dir / name, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  ++written;
}

std::vector<float> seed_signal(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> noise(0.0f, 0.02f);
  std::vector<float> x(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    x[i] = static_cast<float>(std::sin(t * 0.05) + 0.3 * std::sin(t * 0.7)) + noise(rng);
  }
  return x;
}

const char* const kMethodNames[] = {"cdf53", "cdf97", "db4", "sym4"};

// The same coefficients as a coder-2 stream, and the band-coder seed: the
// layout as check_decode_bands reads it, then the payload.
void write_band_seeds(const fs::path& decompress_dir, const fs::path& bands_dir, const std::string& name,
                      const std::vector<std::uint8_t>& arans_stream) {
  namespace codec = quorvane::codec;
  codec::QuorvaneHeader header = codec::QuorvaneHeader::from_bytes(arans_stream).value();
  auto bytes = quorvane::arans::decode_stream(std::span(arans_stream).subspan(codec::HEADER_SIZE));
  if (!bytes.ok()) return;
  const auto executor = codec::executor_for(*codec::method_from_code(header.method));
  std::size_t length = std::max<std::size_t>(header.sample_count, executor->filter_length());
  quorvane::arans::BandLayout layout;
  for (unsigned level = 0; level < header.levels; ++level) {
    const auto size = executor->dwt_size(length);
    layout.details.push_back(size.details);
    layout.approximations = size.approximations;
    length = size.approximations;
  }
  std::size_t count = 0;
  if (!layout.total(count) || bytes.value().size() < 2 * count) return;
  std::vector<std::int16_t> values(count);
  for (std::size_t k = 0; k < count; ++k) {
    values[k] = static_cast<std::int16_t>(bytes.value()[2 * k] | (bytes.value()[2 * k + 1] << 8));
  }
  const std::vector<std::uint8_t> payload = quorvane::arans::encode_bands(values, layout).value();
  header.coder = codec::kCoderBands;
  header.payload_len = static_cast<std::uint32_t>(payload.size());
  std::vector<std::uint8_t> stream(codec::HEADER_SIZE);
  header.write(std::span<std::uint8_t, codec::HEADER_SIZE>(stream.data(), codec::HEADER_SIZE));
  stream.insert(stream.end(), payload.begin(), payload.end());
  write_seed(decompress_dir, name + "-bands", stream);
  if (count > 65535 * 11) return;
  std::vector<std::uint8_t> seed{static_cast<std::uint8_t>(layout.details.size()),
                                 static_cast<std::uint8_t>(layout.approximations),
                                 static_cast<std::uint8_t>(layout.approximations >> 8)};
  for (const std::size_t size : layout.details) {
    seed.push_back(static_cast<std::uint8_t>(size));
    seed.push_back(static_cast<std::uint8_t>(size >> 8));
  }
  seed.insert(seed.end(), payload.begin(), payload.end());
  write_seed(bands_dir, name, seed);
}

void write_stream_seeds(const fs::path& decompress_dir, const fs::path& stream_dir, const fs::path& bands_dir) {
  const std::size_t lengths[] = {1, 4, 9, 19, 33, 64, 100, 257, 1000, 2600, 9000};
  for (int m = 0; m < 4; ++m) {
    for (const EntropyCoder coder : {EntropyCoder::deflate, EntropyCoder::arans}) {
      for (const std::size_t n : lengths) {
        const auto scale = static_cast<std::uint8_t>(6 + n % 7);
        const auto cutoff = static_cast<CutoffLevel>(n % 3);
        const CodecOptions options{static_cast<WaveletMethod>(m), scale, cutoff, coder};
        auto stream = quorvane::codec::compress(seed_signal(n, static_cast<std::uint32_t>(n)), options);
        if (!stream.ok()) {
          std::fprintf(stderr, "skipping %s n=%zu: %s\n", kMethodNames[m], n,
                       stream.error().message().c_str());
          continue;
        }
        const std::string name = std::string(kMethodNames[m]) +
                                 (coder == EntropyCoder::deflate ? "-deflate-" : "-arans-") + std::to_string(n);
        write_seed(decompress_dir, name, stream.value());
        if (coder == EntropyCoder::arans) {
          const std::vector<std::uint8_t> payload(stream.value().begin() + quorvane::codec::HEADER_SIZE,
                                                  stream.value().end());
          write_seed(stream_dir, name, payload);
          write_band_seeds(decompress_dir, bands_dir, name, stream.value());
        }
      }
    }
  }
  // Framing corner cases: unframed lengths, the first framed lengths, both
  // context-bit choices, an odd trailing byte.
  for (const std::size_t n : {0, 1, 5, 6, 7, 8, 33, 16383, 16384}) {
    std::vector<std::uint8_t> raw(n);
    for (std::size_t i = 0; i < n; ++i) raw[i] = static_cast<std::uint8_t>((i * 7) % 5);
    write_seed(stream_dir, "raw-" + std::to_string(n), quorvane::arans::encode_stream(raw));
  }
}

void write_plane_seeds(const fs::path& dir) {
  std::mt19937 rng(3);
  for (const unsigned c : {0u, 3u, 8u}) {
    for (const std::size_t count : {0, 1, 3, 40, 1000}) {
      std::vector<std::uint8_t> data(count);
      for (std::size_t i = 0; i < count; ++i) data[i] = static_cast<std::uint8_t>(i % 4 == 0 ? rng() : i & 3);
      const std::vector<std::uint8_t> coded = quorvane::arans::encode_plane(data, c);
      std::vector<std::uint8_t> seed{static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(count & 0xFF),
                                     static_cast<std::uint8_t>((count >> 8) & 0xFF),
                                     static_cast<std::uint8_t>(count >> 16)};
      seed.insert(seed.end(), coded.begin(), coded.end());
      write_seed(dir, "plane-c" + std::to_string(c) + "-" + std::to_string(count), seed);
    }
  }
}

// A sample of about -1.5..1.5 as the signed byte the round-trip modes read.
std::uint8_t small_integer(float v) {
  const auto q = static_cast<int>(std::lround(std::clamp(v * 80.0f, -127.0f, 127.0f)));
  return static_cast<std::uint8_t>(static_cast<std::int8_t>(q));
}

void write_round_trip_seeds(const fs::path& dir) {
  for (int m = 0; m < 4; ++m) {
    for (int coder = 0; coder < 3; ++coder) {
      for (int mode = 0; mode < 4; ++mode) {
        std::vector<std::uint8_t> seed{static_cast<std::uint8_t>(m), static_cast<std::uint8_t>(mode + m),
                                       static_cast<std::uint8_t>(mode % 3), static_cast<std::uint8_t>(coder),
                                       static_cast<std::uint8_t>(mode), 140};
        const std::vector<float> x = seed_signal(300, static_cast<std::uint32_t>(mode));
        if (mode == 0) {
          std::vector<float> raw = x;
          raw[10] = NAN;
          raw[20] = INFINITY;
          raw[30] = -INFINITY;
          raw[40] = 1e-40f;
          for (const float v : raw) {
            std::uint32_t bits;
            std::memcpy(&bits, &v, sizeof bits);
            for (int b = 0; b < 4; ++b) seed.push_back(static_cast<std::uint8_t>(bits >> (8 * b)));
          }
        } else if (mode == 3) {
          for (const std::uint8_t b : {0x00, 0x24, 0x74, 0x49}) seed.push_back(b);  // offset 1e6
        }
        if (mode == 2) {
          for (int i = 0; i < 40; ++i) {
            seed.push_back(small_integer(x[i]));
            seed.push_back(static_cast<std::uint8_t>(i * 13));
          }
        } else if (mode != 0) {
          for (const float v : x) seed.push_back(small_integer(v));
        }
        write_seed(dir, std::string("rt-") + kMethodNames[m] + "-" + std::to_string(coder) + "-mode" +
                            std::to_string(mode),
                   seed);
      }
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s OUTPUT_DIR\n", argv[0]);
    return 2;
  }
  const fs::path root = argv[1];
  const fs::path decompress_dir = root / "corpus-decompress";
  const fs::path stream_dir = root / "corpus-decode_stream";
  const fs::path plane_dir = root / "corpus-decode_plane";
  const fs::path round_trip_dir = root / "corpus-round_trip";
  const fs::path bands_dir = root / "corpus-decode_bands";
  for (const fs::path& dir : {decompress_dir, stream_dir, plane_dir, round_trip_dir, bands_dir}) {
    fs::create_directories(dir);
  }
  write_stream_seeds(decompress_dir, stream_dir, bands_dir);
  write_plane_seeds(plane_dir);
  write_round_trip_seeds(round_trip_dir);
  std::printf("wrote %d seed files under %s\n", written, root.c_str());
  return 0;
}
