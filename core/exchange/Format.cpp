#include "Format.h"

#include <cstdarg>
#include <cstdio>

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list again;
  va_copy(again, args);
  const int n = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string out;
  if (n > 0) {
    out.resize(std::size_t(n) + 1);
    std::vsnprintf(out.data(), out.size(), fmt, again);
    out.resize(std::size_t(n));
  }
  va_end(again);
  return out;
}
