// libFuzzer entry point: see check_decode_bands in fuzz_checks.h.
#include "fuzz_checks.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quorvane::fuzz::abort_on_fault(quorvane::fuzz::check_decode_bands({data, size}));
  return 0;
}
