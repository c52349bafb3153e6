// libFuzzer entry over the judgement of a block's reply; see scripts/fuzz.sh
// (--target reply). The first byte chooses the sequence digit due (none, or
// '0'..'9'); the rest is everything the receiver sent for the block.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "BlockReply.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const int digitDue = data[0] % 11 == 10 ? -1 : '0' + data[0] % 11;
  const std::string reply(reinterpret_cast<const char*>(data + 1), size - 1);
  const TBlockVerdict v = JudgeBlockReply(reply, digitDue);

  const bool endsOk = reply.size() >= 3 && reply.compare(reply.size() - 3, 3, "ok.") == 0;
  // When a digit is due, whatever byte follows the last "ok." stands in its place.
  const bool endsOkByte = digitDue >= 0 && reply.size() >= 4 && reply.compare(reply.size() - 4, 3, "ok.") == 0;
  const char* problem = nullptr;
  if (v.Accepted != (endsOk || endsOkByte)) problem = "accepted a reply whose last word is not ok., or refused one that is";
  else if (v.Digit >= 0 && (endsOk || v.Digit != static_cast<unsigned char>(reply.back()))) problem = "handed back a byte that did not follow the last ok.";
  else if (v.Digit < 0 && !endsOk && endsOkByte) problem = "kept back the byte that came with a late ok.";
  if (problem != nullptr) {
    std::fprintf(stderr, "block reply: %s\n", problem);
    std::abort();
  }
  return 0;
}
