// Compresses a ramp and decodes it again through the installed library.
#include <cmath>
#include <cstdio>
#include <vector>

#include "quorvane/codec/codec.h"

int main() {
  std::vector<float> signal(4096);
  for (std::size_t i = 0; i < signal.size(); ++i) signal[i] = std::sin(0.01f * static_cast<float>(i));
  auto stream = quorvane::codec::compress(signal, quorvane::codec::CodecOptions{});
  if (!stream.ok()) {
    std::fprintf(stderr, "%s\n", stream.error().message().c_str());
    return 1;
  }
  auto decoded = quorvane::codec::decompress(stream.value());
  if (!decoded.ok() || decoded.value().size() != signal.size()) return 1;
  float max_error = 0;
  for (std::size_t i = 0; i < signal.size(); ++i) {
    max_error = std::fmax(max_error, std::fabs(decoded.value()[i] - signal[i]));
  }
  std::printf("%zu samples -> %zu bytes, max error %g\n", signal.size(), stream.value().size(),
              static_cast<double>(max_error));
  return max_error < 0.01f ? 0 : 1;
}
