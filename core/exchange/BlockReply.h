// What the receiver's reply to a block means, once everything it sent for the
// block has been read: its last word decides. No port, no widgets, so that it
// can be fuzzed alone.
#pragma once

#include <string_view>

#include "Wire.h"

struct TBlockVerdict {
  bool Accepted = false;
  int Digit = -1;  // the byte that came after a late "ok." when a sequence digit was due, or -1
};

// reply: every byte read for the block, in order. digitDue: the sequence
// digit expected after this block, or -1 when no check is due.
//
// When a digit is due, the byte behind the last "ok." is that digit's place,
// right or wrong, exactly as for a reply in time: the caller checks it. A
// wrong digit taken for a rejection would resend a block the receiver has
// already taken and put the exchange out of step for good.
inline TBlockVerdict JudgeBlockReply(std::string_view reply, int digitDue) {
  constexpr std::string_view kAccepted = wire::BlockAccepted;
  if (reply.size() >= kAccepted.size() && reply.substr(reply.size() - kAccepted.size()) == kAccepted)
    return {true, -1};
  if (digitDue >= 0 && reply.size() >= kAccepted.size() + 1 &&
      reply.substr(reply.size() - kAccepted.size() - 1, kAccepted.size()) == kAccepted)
    return {true, static_cast<unsigned char>(reply.back())};
  return {};
}
