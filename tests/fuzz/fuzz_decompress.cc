// libFuzzer entry point: see check_decompress in fuzz_checks.h.
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvane::fuzz::abort_on_fault(quorvane::fuzz::check_decompress({data, size}));
  return 0;
}
