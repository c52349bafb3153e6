// When each byte that crosses a paced 8N1 line has fully arrived, worked out
// from what the receiving end saw of its queue. A byte that was already
// queued when the one before it ended follows that one back to back, however
// late we came to take it (our own late wake-up costs the sender nothing).
// Once the queue has been seen empty after the last byte ended, the line was
// idle: the next byte starts no earlier than the moment it arrived (seen
// arriving while we watched) or was found, so no pause of the sender is ever
// credited to it.
#pragma once

#include <algorithm>
#include <cstdint>

namespace stbsim {

class ArrivalClock {
public:
  void SetByteTime(std::int64_t ns) { FByteNs = ns; }

  // Nothing was queued at t.
  void SawEmpty(std::int64_t t) { FEmptyAt = std::max(FEmptyAt, t); }
  // Bytes arrived at t in a queue we were watching while it was empty.
  void Arrived(std::int64_t t) {
    if (FArrivedAt < 0) FArrivedAt = t;
  }
  // Bytes were found queued at `at` (woken by their arrival, or already there
  // when we looked). Call before SawEmpty for what the same read left behind.
  void Found(std::int64_t at) {
    if (FArrivedAt >= 0) FDone = std::max(FDone, FArrivedAt);
    else if (FEmptyAt > FDone) FDone = std::max(FDone, at);
    FArrivedAt = -1;
  }
  // The next byte of what was found: when its line time ends.
  std::int64_t Next() { return FDone += FByteNs; }

  std::int64_t Done() const { return FDone; }
  std::int64_t ByteTime() const { return FByteNs; }

private:
  std::int64_t FByteNs = 0;
  // Before the first byte the line counts as seen idle.
  std::int64_t FDone = 0;
  std::int64_t FEmptyAt = 1;
  std::int64_t FArrivedAt = -1;
};

}  // namespace stbsim
