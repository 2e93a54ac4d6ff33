// The text format of the checked-in golden files: lines starting with '#' are
// comments; `words NAME N` is followed by N 32-bit hex words (float32 bit
// patterns), `bytes NAME N` by N hex bytes. Whitespace separates tokens.
#pragma once

#include <bit>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

namespace quorvane::golden {

struct GoldenFile {
  std::map<std::string, std::vector<std::uint32_t>> words;
  std::map<std::string, std::vector<std::uint8_t>> bytes;
};

// Returns false (and sets `problem`) when the file is missing or malformed.
inline bool read_golden_file(const std::string& path, GoldenFile& file, std::string& problem) {
  std::ifstream in(path);
  if (!in) {
    problem = "cannot open " + path;
    return false;
  }
  std::string line;
  std::string kind, name;
  std::size_t remaining = 0;
  std::vector<std::uint32_t>* words = nullptr;
  std::vector<std::uint8_t>* bytes = nullptr;
  while (std::getline(in, line)) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream tokens(line);
    if (remaining == 0) {
      tokens >> kind >> name >> remaining;
      words = kind == "words" ? &file.words[name] : nullptr;
      bytes = kind == "bytes" ? &file.bytes[name] : nullptr;
      if (!tokens || (words == nullptr && bytes == nullptr)) {
        problem = "bad section line in " + path + ": " + line;
        return false;
      }
      continue;
    }
    std::string token;
    while (tokens >> token) {
      if (remaining == 0) {
        problem = "too many values in " + name;
        return false;
      }
      const std::uint32_t value = static_cast<std::uint32_t>(std::stoul(token, nullptr, 16));
      if (words != nullptr) words->push_back(value);
      if (bytes != nullptr) bytes->push_back(static_cast<std::uint8_t>(value));
      --remaining;
    }
  }
  if (remaining != 0) {
    problem = "section " + name + " is short by " + std::to_string(remaining);
    return false;
  }
  return true;
}

inline std::vector<std::uint32_t> float_bits(const std::vector<float>& values) {
  std::vector<std::uint32_t> out;
  out.reserve(values.size());
  for (const float v : values) out.push_back(std::bit_cast<std::uint32_t>(v));
  return out;
}

inline std::vector<float> bits_to_floats(const std::vector<std::uint32_t>& words) {
  std::vector<float> out;
  out.reserve(words.size());
  for (const std::uint32_t w : words) out.push_back(std::bit_cast<float>(w));
  return out;
}

inline void write_words(std::ostream& out, const std::string& name,
                        const std::vector<std::uint32_t>& values) {
  out << "words " << name << ' ' << values.size() << '\n';
  char text[16];
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::snprintf(text, sizeof text, "%08x", static_cast<unsigned>(values[i]));
    out << text << (i % 8 == 7 || i + 1 == values.size() ? '\n' : ' ');
  }
}

inline void write_bytes(std::ostream& out, const std::string& name,
                        const std::vector<std::uint8_t>& values) {
  out << "bytes " << name << ' ' << values.size() << '\n';
  char text[8];
  for (std::size_t i = 0; i < values.size(); ++i) {
    std::snprintf(text, sizeof text, "%02x", static_cast<unsigned>(values[i]));
    out << text << (i % 32 == 31 || i + 1 == values.size() ? '\n' : ' ');
  }
}

}  // namespace quorvane::golden
