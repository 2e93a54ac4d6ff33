#include "quorvane/codec/header.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <limits>
#include <vector>

namespace quorvane::codec {
namespace {

QuorvaneHeader sample_header() {
  return QuorvaneHeader::for_stream(WaveletMethod::cdf97, 3, 11, kCoderArans, 1000, -2.5f, 7.25f,
                                    0.125f, 99);
}

std::vector<std::uint8_t> serialized(const QuorvaneHeader& header) {
  std::vector<std::uint8_t> bytes(HEADER_SIZE);
  header.write(std::span<std::uint8_t, HEADER_SIZE>(bytes.data(), HEADER_SIZE));
  return bytes;
}

void put_f32(std::vector<std::uint8_t>& bytes, std::size_t offset, std::uint32_t bits) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = static_cast<std::uint8_t>(bits >> (8 * i));
}

std::string parse_error(const std::vector<std::uint8_t>& bytes) {
  auto parsed = QuorvaneHeader::from_bytes(bytes);
  return parsed.ok() ? "ok" : parsed.error().message();
}

TEST(QuorvaneHeader, SerialisesEveryFieldAtItsOffset) {
  const std::vector<std::uint8_t> bytes = serialized(sample_header());
  const std::vector<std::uint8_t> expected = {
      'Q', 'R', 'V', 'N', 0x01, 0x01, 'f', '3', 'c', 'f', '9', '7', 3, 11, 1, 0,
      0xE8, 0x03, 0x00, 0x00,   // 1000 samples
      0x00, 0x00, 0x20, 0xC0,   // -2.5
      0x00, 0x00, 0xE8, 0x40,   // 7.25
      0x00, 0x00, 0x00, 0x3E,   // 0.125
      99, 0, 0, 0,              // payload length
      0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bytes, expected);
}

TEST(QuorvaneHeader, ParsesWhatItWrites) {
  const QuorvaneHeader header = sample_header();
  std::vector<std::uint8_t> bytes = serialized(header);
  bytes.push_back(0xAB);  // payload bytes are not the parser's business
  auto parsed = QuorvaneHeader::from_bytes(bytes);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(serialized(parsed.value()), serialized(header));
  EXPECT_EQ(parsed.value().sample_count, 1000u);
  EXPECT_EQ(parsed.value().payload_len, 99u);
}

TEST(QuorvaneHeader, MethodCodes) {
  const std::pair<WaveletMethod, const char*> codes[] = {{WaveletMethod::cdf53, "cf53"},
                                                         {WaveletMethod::cdf97, "cf97"},
                                                         {WaveletMethod::db4, "db04"},
                                                         {WaveletMethod::sym4, "sym4"}};
  for (const auto& [method, code] : codes) {
    const auto bytes = method_code(method);
    EXPECT_EQ(std::memcmp(bytes.data(), code, 4), 0);
    EXPECT_EQ(method_from_code(bytes), method);
  }
  const std::array<std::uint8_t, 4> unknown = {'d', 'b', '0', '5'};
  EXPECT_FALSE(method_from_code(unknown).has_value());
}

TEST(QuorvaneHeaderFromBytes, FailsInCheckOrder) {
  const std::vector<std::uint8_t> valid = serialized(sample_header());
  struct Case {
    const char* name;
    void (*damage)(std::vector<std::uint8_t>&);
    std::string message;
  };
  const Case cases[] = {
      {"51 bytes", [](auto& b) { b.pop_back(); }, "Header is invalid"},
      {"empty", [](auto& b) { b.clear(); }, "Header is invalid"},
      {"printable magic", [](auto& b) { std::memcpy(b.data(), "QRVX", 4); },
       "Magic should be 'QRVN' but it was 'QRVX'"},
      {"non-UTF-8 magic", [](auto& b) { b[0] = 0xFF, b[1] = 0xFE, b[2] = 0xFD, b[3] = 0xFC; },
       "Magic should be 'QRVN' but it was '?\?\?\?'"},
      {"magic before version", [](auto& b) { b[0] = 'X', b[4] = 2; },
       "Magic should be 'QRVN' but it was 'XRVN'"},
      {"major version", [](auto& b) { b[4] = 0x02, b[5] = 0x01; },
       std::string("Invalid header version '\x02\x01'")},
      {"tag", [](auto& b) { b[7] = '4'; }, "Invalid compression method 'f4'"},
      {"method", [](auto& b) { std::memcpy(b.data() + 8, "zz99", 4); },
       "Invalid compression method 'zz99'"},
      {"scale 5", [](auto& b) { b[13] = 5; }, "Only scaled 6..12 is supported, but it was 5"},
      {"scale 13", [](auto& b) { b[13] = 13; }, "Only scaled 6..12 is supported, but it was 13"},
      {"coder 3", [](auto& b) { b[14] = 3; }, "Unknown entropy coder 3"},
      {"min +inf", [](auto& b) { put_f32(b, 20, 0x7F800000); }, "Header is invalid"},
      {"max NaN", [](auto& b) { put_f32(b, 24, 0x7FC00000); }, "Header is invalid"},
      {"mean -inf", [](auto& b) { put_f32(b, 28, 0xFF800000); }, "Header is invalid"},
      {"negative NaN", [](auto& b) { put_f32(b, 28, 0xFFC00001); }, "Header is invalid"},
  };
  for (const Case& c : cases) {
    std::vector<std::uint8_t> bytes = valid;
    c.damage(bytes);
    EXPECT_EQ(parse_error(bytes), c.message) << c.name;
  }
}

TEST(QuorvaneHeaderFromBytes, AcceptsWhatItDoesNotCheck) {
  const std::vector<std::uint8_t> valid = serialized(sample_header());
  const std::vector<void (*)(std::vector<std::uint8_t>&)> changes = {
      [](auto& b) { b[5] = 0x07; },                  // minor version
      [](auto& b) { b[13] = 6; },                    // lowest scale
      [](auto& b) { b[13] = 12; },                   // highest scale
      [](auto& b) { b[12] = 0; },                    // levels are checked later
      [](auto& b) { b[12] = 200; },
      [](auto& b) { put_f32(b, 16, 0xFFFFFFFF); },   // sample count
      [](auto& b) { put_f32(b, 32, 0xFFFFFFFF); },   // payload length
      [](auto& b) { put_f32(b, 20, 0x80000000); },   // negative zero
      [](auto& b) { put_f32(b, 24, 0x00000001); },   // subnormal
      [](auto& b) { put_f32(b, 28, 0x7F7FFFFF); },   // largest finite
      [](auto& b) { b[15] = 9, b[40] = 1; },         // reserved bytes
  };
  for (std::size_t i = 0; i < changes.size(); ++i) {
    std::vector<std::uint8_t> bytes = valid;
    changes[i](bytes);
    EXPECT_EQ(parse_error(bytes), "ok") << "change " << i;
  }
}

}  // namespace
}  // namespace quorvane::codec
