#include "CounterText.h"

#include "DescriptionFile.h"

std::string ByteCounterText(std::int64_t done, std::int64_t total) {
  return "( " + std::to_string(done) + " / " + std::to_string(total) + " )";
}

std::string LongestByteCounterText() { return ByteCounterText(kMaxImageBytes, kMaxImageBytes); }
