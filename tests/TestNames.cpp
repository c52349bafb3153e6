#include "TestNames.h"

#include <cctype>
#include <cstdio>

std::string HexName(std::uint64_t value) {
  char hex[24];
  std::snprintf(hex, sizeof hex, "%llX", static_cast<unsigned long long>(value));
  return hex;
}

std::string TextName(std::string_view text) {
  if (text.empty()) return "Empty";
  std::string name;
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (std::isalnum(u)) {
      name += c;
      continue;
    }
    switch (c) {
      case ' ': name += "Blank"; break;
      case '$': name += "Dollar"; break;
      case '+': name += "Plus"; break;
      case '-': name += "Minus"; break;
      case '.': name += "Dot"; break;
      case '\r': name += "CR"; break;
      case '\n': name += "LF"; break;
      case '\t': name += "Tab"; break;
      default: {
        char hex[8];
        std::snprintf(hex, sizeof hex, "x%02X", unsigned(u));
        name += hex;
      }
    }
  }
  return name;
}
