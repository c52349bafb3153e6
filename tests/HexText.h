// Bytes as lower-case hex text and back: how the far agent and the contract
// tests that steer it pass bytes over their text control line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
  constexpr char kHex[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += kHex[b >> 4];
    s += kHex[b & 15];
  }
  return s;
}

inline std::vector<std::uint8_t> FromHex(const std::string& s) {
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i + 1 < s.size(); i += 2) out.push_back(std::uint8_t(std::stoul(s.substr(i, 2), nullptr, 16)));
  return out;
}
