// The simulated receiver's paced line is the measuring stick for the
// console's speed: it must make up for its own late wake-ups and never for a
// pause of the sender. Byte times of 100 ns keep the sums readable.
#include <gtest/gtest.h>

#include <vector>

#include "ArrivalClock.h"

namespace {

// What the receiving end saw: the queue empty at a time, or bytes found.
struct Seen {
  enum { Empty, Arrived, Found } what;
  std::int64_t at;
  int bytes;  // taken from what was found
};

struct PacingCase {
  const char* name;
  std::vector<Seen> script;
  std::int64_t lastDone;  // when the last byte taken has fully arrived
};

class Pacing : public ::testing::TestWithParam<PacingCase> {};

TEST_P(Pacing, CountsThePausesOfTheSenderButNotItsOwn) {
  stbsim::ArrivalClock clock;
  clock.SetByteTime(100);
  std::int64_t done = 0;
  for (const Seen& s : GetParam().script) {
    if (s.what == Seen::Empty) {
      clock.SawEmpty(s.at);
      continue;
    }
    if (s.what == Seen::Arrived) {
      clock.Arrived(s.at);
      continue;
    }
    clock.Found(s.at);
    for (int i = 0; i < s.bytes; ++i) {
      const std::int64_t next = clock.Next();
      EXPECT_GT(next, done) << "bytes overlap on the line";
      done = next;
    }
  }
  EXPECT_EQ(done, GetParam().lastDone);
}

INSTANTIATE_TEST_SUITE_P(
    Line, Pacing,
    ::testing::Values(
        PacingCase{"FirstByteStartsWhenFound", {{Seen::Found, 5000, 1}}, 5100},
        // A pause shorter than any catch-up window of old still counts in full.
        PacingCase{"IdleGapBetweenBurstsCounts",
                   {{Seen::Found, 1000, 5}, {Seen::Empty, 1600, 0}, {Seen::Found, 3000, 5}},
                   3500},
        PacingCase{"GapOfHalfAByteCounts",
                   {{Seen::Found, 1000, 1}, {Seen::Empty, 1120, 0}, {Seen::Found, 1150, 1}},
                   1250},
        // Found late with no empty queue seen since the last byte: it was waiting.
        PacingCase{"BacklogTakenLateCatchesUp", {{Seen::Found, 1000, 5}, {Seen::Found, 2400, 5}}, 2000},
        // A short read emptied the queue while a byte was still on the line:
        // what came in behind it followed it.
        PacingCase{"EmptyWhileTheLastByteWasOnTheLine",
                   {{Seen::Found, 1000, 3}, {Seen::Empty, 1100, 0}, {Seen::Found, 1350, 3}},
                   1600},
        // Seen arriving while we slept out the last byte: dated by its arrival.
        PacingCase{"ArrivalWhileTheLastByteWasOnTheLineFollowsIt",
                   {{Seen::Found, 1000, 3}, {Seen::Empty, 1100, 0}, {Seen::Arrived, 1250, 0}, {Seen::Found, 1400, 3}},
                   1600},
        PacingCase{"ArrivalAfterTheLastByteEndedCountsTheGap",
                   {{Seen::Found, 1000, 3}, {Seen::Empty, 1100, 0}, {Seen::Arrived, 1350, 0}, {Seen::Found, 1400, 3}},
                   1650},
        PacingCase{"BurstsBackToBackAfterAWakeUp",
                   {{Seen::Empty, 900, 0}, {Seen::Found, 1000, 2}, {Seen::Found, 1100, 2}, {Seen::Found, 5000, 2}},
                   1600}),
    [](const ::testing::TestParamInfo<PacingCase>& i) { return std::string(i.param.name); });

}  // namespace
