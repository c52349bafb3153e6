// libFuzzer entry over the description file reader; see scripts/fuzz.sh.
#include <cstdio>
#include <cstdlib>

#include "DescriptionCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string problem = CheckDescriptionInput(data, size);
  if (!problem.empty()) {
    std::fprintf(stderr, "description reader: %s\n", problem.c_str());
    std::abort();
  }
  return 0;
}
