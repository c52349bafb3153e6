// What the receiver's reply to a block means, once everything it sent for the
// block has been read: its last word decides. No port, no widgets, so that it
// can be fuzzed alone.
#pragma once

#include <string_view>

struct TBlockVerdict {
  bool Accepted = false;
  int Digit = -1;  // the sequence digit that came with a late "ok.", or -1
};

// reply: every byte read for the block, in order. digitDue: the sequence
// digit expected after this block, or -1 when no check is due.
inline TBlockVerdict JudgeBlockReply(std::string_view reply, int digitDue) {
  constexpr std::string_view kAccepted = "ok.";
  if (reply.size() >= kAccepted.size() && reply.substr(reply.size() - kAccepted.size()) == kAccepted)
    return {true, -1};
  if (digitDue >= 0 && reply.size() >= kAccepted.size() + 1 && static_cast<unsigned char>(reply.back()) == digitDue &&
      reply.substr(reply.size() - kAccepted.size() - 1, kAccepted.size()) == kAccepted)
    return {true, digitDue};
  return {};
}
