// Speed of the rANS coder on coefficient bytes of real signals.
//
// Each corpus signal is compressed with the default options and its payload
// decoded back to the coefficient bytes; encode_stream and decode_stream then
// run on those bytes, on their own and tiled to about 2x10^6 and 2x10^7 bytes
// (10^6 and 10^7 samples). Reports the median of the repetitions as ns per
// coefficient byte and as cycles per binary decision (eight per byte). Time
// is the thread's CPU time, which on a shared machine is steadier than wall
// time; cycles are that time at the time-stamp counter's rate. A checksum of
// the coded bytes lets two builds be compared for identical output.
//
//   arans_bench [corpus directory] [repetitions] [name filter]
#include <time.h>
#include <x86intrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "quorvane/arans/arans.h"
#include "quorvane/codec/codec.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

// float32 little-endian .npy (version 1 or 2 header), nothing else.
std::vector<float> load_npy(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> raw((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (raw.size() < 12 || std::memcmp(raw.data(), "\x93NUMPY", 6) != 0) return {};
  const int major = raw[6];
  std::size_t header_length = 0;
  std::size_t offset = 0;
  if (major == 1) {
    header_length = static_cast<std::uint8_t>(raw[8]) | (static_cast<std::uint8_t>(raw[9]) << 8);
    offset = 10;
  } else {
    for (int i = 0; i < 4; ++i) header_length |= std::size_t{static_cast<std::uint8_t>(raw[8 + i])} << (8 * i);
    offset = 12;
  }
  const std::string header(raw.data() + offset, header_length);
  if (header.find("<f4") == std::string::npos) return {};
  const std::size_t data_start = offset + header_length;
  std::vector<float> samples((raw.size() - data_start) / 4);
  std::memcpy(samples.data(), raw.data() + data_start, samples.size() * 4);
  return samples;
}

Bytes coefficient_bytes(const std::vector<float>& samples) {
  auto stream = quorvane::codec::compress(samples, quorvane::codec::CodecOptions{});
  if (!stream.ok()) return {};
  const std::span<const std::uint8_t> payload = std::span<const std::uint8_t>(stream.value()).subspan(52);
  auto decoded = quorvane::arans::decode_stream(payload);
  return decoded.ok() ? decoded.value() : Bytes{};
}

std::uint64_t fnv1a(const Bytes& bytes) {
  std::uint64_t h = 1469598103934665603ull;
  for (std::uint8_t b : bytes) h = (h ^ b) * 1099511628211ull;
  return h;
}

double thread_cpu_ns() {
  timespec t;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) * 1e9 + static_cast<double>(t.tv_nsec);
}

// Time-stamp counter ticks per nanosecond, measured once against the clock.
double tsc_per_ns() {
  const auto t0 = std::chrono::steady_clock::now();
  const std::uint64_t c0 = __rdtsc();
  while (std::chrono::steady_clock::now() - t0 < std::chrono::milliseconds(200)) {
  }
  const std::uint64_t c1 = __rdtsc();
  const auto t1 = std::chrono::steady_clock::now();
  return static_cast<double>(c1 - c0) / std::chrono::duration<double, std::nano>(t1 - t0).count();
}

const double g_tsc_per_ns = tsc_per_ns();

template <class F>
double median_ns(int repetitions, F&& run) {
  std::vector<double> all;
  for (int r = 0; r < repetitions; ++r) {
    const double t0 = thread_cpu_ns();
    run();
    all.push_back(thread_cpu_ns() - t0);
  }
  std::sort(all.begin(), all.end());
  return all[all.size() / 2];
}

std::string g_filter;

void bench(const std::string& name, const Bytes& input, int repetitions) {
  if (name.find(g_filter) == std::string::npos) return;
  Bytes coded;
  const double encode = median_ns(repetitions, [&] { coded = quorvane::arans::encode_stream(input); });
  Bytes decoded;
  bool ok = true;
  const double decode = median_ns(repetitions, [&] {
    auto result = quorvane::arans::decode_stream(coded);
    ok = ok && result.ok();
    if (result.ok()) decoded = std::move(result.value());
  });
  ok = ok && decoded == input;
  const double n = static_cast<double>(input.size());
  std::printf("%-28s %10zu %8.1f%%  enc %7.2f ns/B %6.2f cyc/dec  dec %7.2f ns/B %6.2f cyc/dec  %016llx %s\n",
              name.c_str(), input.size(), 100.0 * static_cast<double>(coded.size()) / n, encode / n,
              encode * g_tsc_per_ns / (8 * n), decode / n, decode * g_tsc_per_ns / (8 * n),
              static_cast<unsigned long long>(fnv1a(coded)), ok ? "ok" : "MISMATCH");
}

Bytes tiled(const Bytes& bytes, std::size_t length) {
  Bytes out(length);
  for (std::size_t i = 0; i < length; ++i) out[i] = bytes[i % bytes.size()];
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  const std::filesystem::path corpus = argc > 1 ? argv[1] : "/work/shared/corpus";
  const int repetitions = argc > 2 ? std::atoi(argv[2]) : 7;
  g_filter = argc > 3 ? argv[3] : "";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    if (entry.path().extension() == ".npy") files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  std::printf("%-28s %10s %9s  (medians of %d runs, thread CPU time; %.2f GHz TSC)\n", "payload", "bytes",
              "coded", repetitions, g_tsc_per_ns);
  Bytes speech, ecg;
  // Only the payloads asked for are made (compress of every corpus file is
  // slow under callgrind); the tiles need speech and ECG.
  const bool tiles_wanted = g_filter.empty() || g_filter.find(" x ") != std::string::npos ||
                            std::string("speech x 1e6 samples ecg x 1e7 samples").find(g_filter) != std::string::npos;
  for (const auto& file : files) {
    const std::string name = file.stem().string();
    const bool tile_source = name == "alsa_speech_all8" || name == "scipy_ecg";
    if (name.find(g_filter) == std::string::npos && !(tile_source && tiles_wanted)) continue;
    const Bytes bytes = coefficient_bytes(load_npy(file));
    if (bytes.empty()) continue;
    bench(name, bytes, repetitions);
    if (name == "alsa_speech_all8") speech = bytes;
    if (name == "scipy_ecg") ecg = bytes;
  }
  // Tiled payloads of 10^6 and 10^7 samples (two bytes each).
  for (const auto& [name, bytes] : {std::pair{std::string("speech"), speech}, std::pair{std::string("ecg"), ecg}}) {
    if (bytes.empty()) continue;
    bench(name + " x 1e6 samples", tiled(bytes, 2000000), repetitions);
    bench(name + " x 1e7 samples", tiled(bytes, 20000000), std::max(3, repetitions / 2));
  }
  return 0;
}
