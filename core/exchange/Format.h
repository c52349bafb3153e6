// printf into a std::string. The log's %X prints capitals without leading
// zeros, %d decimal.
#pragma once

#include <string>

std::string Format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
