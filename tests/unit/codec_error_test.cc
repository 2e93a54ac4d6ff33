#include "quorvane/codec/error.h"

#include <gtest/gtest.h>

#include "utf8.h"

namespace quorvane::codec {
namespace {

using E = QuorvaneError;

TEST(QuorvaneError, RendersEveryTemplate) {
  struct Case {
    QuorvaneError error;
    std::string text;
  };
  const Case cases[] = {
      {E::invalid_compression_method({'a', 'b', 'c', 'd'}), "Invalid compression method 'abcd'"},
      {E::invalid_magic({'A', 'B', 'C', 'D'}), "Magic should be 'QRVN' but it was 'ABCD'"},
      {E::invalid_compression_tag({'f', '4'}), "Invalid compression method 'f4'"},
      {E::invalid_header_version({0x02, 0x01}), std::string("Invalid header version '\x02\x01'")},
      {E::transform_failed("Input size 5 can't be less than 8"), "Input size 5 can't be less than 8"},
      {E::compression_failed("corrupt deflate stream"), "corrupt deflate stream"},
      {E::out_of_memory(123), "Out of memory, can't allocate additional 123"},
      {E::invalid_header(), "Header is invalid"},
      {E::unsupported_configuration("Can't compress empty data"),
       "Unsupported compression configuration 'Can't compress empty data'"},
      {E::decompression_failed("Max supported level is 10 but it was 11"),
       "Can't decompress data, reason: Max supported level is 10 but it was 11"},
      {E::unsupported_scale(13), "Only scaled 6..12 is supported, but it was 13"},
      {E::unknown_entropy_coder(2), "Unknown entropy coder 2"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.text);
}

TEST(QuorvaneError, NonUtf8BytePayloadsShowAsQuestionMarks) {
  EXPECT_EQ(E::invalid_magic({0xFF, 0xFE, 0xFD, 0xFC}).message(),
            "Magic should be 'QRVN' but it was '?\?\?\?'");
  EXPECT_EQ(E::invalid_compression_method({'c', 'f', 0xC3, 0x28}).message(),
            "Invalid compression method '?\?\?\?'");
  EXPECT_EQ(E::invalid_compression_tag({0x80, 'x'}).message(), "Invalid compression method '?\?'");
  EXPECT_EQ(E::invalid_header_version({0xC3, 0xA9}).message(), "Invalid header version '\xC3\xA9'");
}

TEST(QuorvaneError, VariantsKeepDeclarationOrder) {
  EXPECT_EQ(static_cast<int>(E::Kind::InvalidCompressionMethod), 0);
  EXPECT_EQ(static_cast<int>(E::Kind::OutOfMemory), 6);
  EXPECT_EQ(static_cast<int>(E::Kind::UnknownEntropyCoder), 11);
}

TEST(Utf8, AcceptsWellFormedAndRejectsMalformed) {
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("QRVN"));
  EXPECT_TRUE(is_valid_utf8("\xE2\x82\xAC"));        // euro sign
  EXPECT_TRUE(is_valid_utf8("\xF0\x9F\x98\x80"));    // four-byte form
  EXPECT_FALSE(is_valid_utf8("\xC0\xAF"));           // overlong
  EXPECT_FALSE(is_valid_utf8("\xED\xA0\x80"));       // surrogate
  EXPECT_FALSE(is_valid_utf8("\xF4\x90\x80\x80"));   // above U+10FFFF
  EXPECT_FALSE(is_valid_utf8("\xE2\x82"));           // cut short
  EXPECT_FALSE(is_valid_utf8("\xFF"));
}

}  // namespace
}  // namespace quorvane::codec
