// Replays every input the fuzzers have turned up (tests/fuzz/regressions/
// <target>/<file>) through the same check the fuzz target runs, so that a
// fixed crash or wrong result stays fixed in every build, sanitised or not.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_checks.h"

namespace quorvane::fuzz {
namespace {

namespace fs = std::filesystem;

fs::path regressions_dir() { return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "regressions"; }

std::vector<std::uint8_t> read_file(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class SavedInputs : public ::testing::TestWithParam<FuzzTarget> {};

TEST_P(SavedInputs, AreHandledSoundly) {
  const fs::path dir = regressions_dir() / std::string(GetParam().name);
  ASSERT_TRUE(fs::is_directory(dir)) << dir;
  std::size_t replayed = 0;
  for (const fs::directory_entry& entry : fs::directory_iterator(dir)) {
    if (!entry.is_regular_file() || entry.path().filename().string().starts_with(".")) continue;
    const std::vector<std::uint8_t> input = read_file(entry.path());
    EXPECT_EQ(GetParam().check(input), "") << entry.path().filename();
    ++replayed;
  }
  // Each directory keeps at least one input, so that a wrong path cannot
  // pass silently.
  EXPECT_GT(replayed, 0u) << dir;
}

INSTANTIATE_TEST_SUITE_P(Fuzz, SavedInputs, ::testing::ValuesIn(kFuzzTargets),
                         [](const ::testing::TestParamInfo<FuzzTarget>& param_info) {
                           return std::string(param_info.param.name);
                         });

}  // namespace
}  // namespace quorvane::fuzz
