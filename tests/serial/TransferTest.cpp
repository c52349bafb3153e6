// Sends, reads and queue handling over a real pty, including the inactivity
// time-outs and a receiver that goes away.
#include <atomic>
#include <numeric>
#include <thread>

#include <unistd.h>

#include "SerialFixture.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(SerialTransfer, NotConnectedResults) {
  TSerialPortDriver drv;
  std::uint8_t b = 0x55;
  drv.FlushBuffers(true, true);
  EXPECT_EQ(drv.InputCount(), 65535);
  EXPECT_EQ(drv.OutputFree(), 65535);
  EXPECT_EQ(drv.GetLineStatus(), 0);
  EXPECT_EQ(drv.SendData("ab", 2), 0u);
  EXPECT_FALSE(drv.SendByte(1));
  EXPECT_TRUE(drv.SendString(""));
  EXPECT_FALSE(drv.SendString("x"));
  EXPECT_EQ(drv.ReadData(&b, 1), 0u);
  EXPECT_FALSE(drv.ReadByte(b));
  EXPECT_EQ(b, 0x55);
  EXPECT_EQ(drv.PollPauseCount(), 0) << "a read on a closed port must not touch the pause count";
  drv.PollTick();
  EXPECT_FALSE(drv.LineLost());
}

TEST_F(SerialLine, BytesReachTheFarEndUnchanged) {
  // Every byte value, including the ones a cooked tty would eat or rewrite.
  std::vector<std::uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  EXPECT_EQ(drv.SendData(all.data(), 256), 256u);
  EXPECT_TRUE(drv.SendByte(0x1F));
  EXPECT_TRUE(drv.SendString("BOOTL"));
  EXPECT_EQ(drv.SendData(all.data(), 0), 0u);
  auto got = pty.Read(262, 2000);
  ASSERT_EQ(got.size(), 262u);
  EXPECT_TRUE(std::equal(all.begin(), all.end(), got.begin()));
  EXPECT_EQ(got[256], 0x1F);
  EXPECT_EQ(std::string(got.begin() + 257, got.end()), "BOOTL");
}

TEST_F(SerialLine, ReadsEveryByteValueUnchanged) {
  std::vector<std::uint8_t> all(256);
  std::iota(all.begin(), all.end(), 0);
  pty.Write(all);
  std::vector<std::uint8_t> got(256);
  EXPECT_EQ(drv.ReadData(got.data(), 256), 256u);
  EXPECT_EQ(got, all);
  EXPECT_EQ(drv.PollPauseCount(), 0);
}

struct SilenceCase {
  std::uint32_t inputTimeout;
  int atMostMs;
};
class ReadSilence : public SerialLine, public ::testing::WithParamInterface<SilenceCase> {};
TEST_P(ReadSilence, ReadByteGivesUpOnlyAfterTimeout) {
  drv.SetInputTimeout(GetParam().inputTimeout);
  std::uint8_t b = 0;
  const auto t0 = Clock::now();
  EXPECT_FALSE(drv.ReadByte(b));
  const auto took = ElapsedSince(t0).count();
  EXPECT_GE(took, std::int64_t(GetParam().inputTimeout));
  EXPECT_LT(took, GetParam().atMostMs);
  EXPECT_EQ(drv.PollPauseCount(), 0);
}
INSTANTIATE_TEST_SUITE_P(Serial, ReadSilence,
                         ::testing::Values(SilenceCase{0, 1000}, SilenceCase{200, 5000}, SilenceCase{50, 5000}),
                         [](const auto& row) { return "InputTimeout" + std::to_string(row.param.inputTimeout) + "ms"; });

// A clock that stands still at exactly the time-out never expires; one more
// millisecond does. Reads wait on a silent line, sends on a full queue.
struct ExpiryCase {
  const char* name;
  bool send;
};
class EqualElapsed : public SerialLine, public ::testing::WithParamInterface<ExpiryCase> {};
TEST_P(EqualElapsed, IsNotYetExpired) {
  std::vector<std::uint8_t> fill(1 << 20, 0xA5);
  if (GetParam().send) {
    // Nobody reads the far end: fill its buffers until the driver takes no more.
    drv.SetOutputTimeout(100);
    ASSERT_LT(drv.SendData(fill.data(), std::uint32_t(fill.size())), fill.size());
  }
  std::uint32_t now = 0xFFFFFF9Cu;  // 100 ms before the wrap
  int calls = 0;
  drv.SetTickSource([&] {
    if (++calls == 3) now += 200;  // lands on 0x64: exactly 200 after the start
    if (calls == 50) now += 1;
    return now;
  });
  if (GetParam().send) {
    EXPECT_EQ(drv.SendData(fill.data(), 1, 200), 0u);
  } else {
    std::uint8_t b = 0;
    drv.SetInputTimeout(200);
    EXPECT_FALSE(drv.ReadByte(b));
  }
  EXPECT_GE(calls, 50);
}
INSTANTIATE_TEST_SUITE_P(Serial, EqualElapsed,
                         ::testing::Values(ExpiryCase{"ReadByte", false}, ExpiryCase{"SendData", true}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SerialLine, EachArrivalRestartsTheReadTimeout) {
  // The read's clock stands at the moment a byte is taken, then jumps to the
  // moment the next one is due, 150 ms on, and stays there until that byte
  // has been taken: however slowly the machine runs, every gap is 150 ms on
  // the read's clock, under its 200 ms time-out, and the ten bytes span 1500.
  std::uint8_t buf[10] = {};
  std::atomic<std::uint32_t> now{0};
  std::uint32_t lastTaken = 0;
  std::size_t taken = 0;
  bool started = false;
  drv.SetTickSource([&] {
    if (!started) {
      started = true;
      return std::uint32_t(now);
    }
    if (taken < 10 && buf[taken] != 0) {
      ++taken;
      lastTaken = now;
      return std::uint32_t(now);
    }
    if (now < lastTaken + 150) now = lastTaken + 150;
    return std::uint32_t(now);
  });
  drv.SetInputTimeout(200);
  std::atomic<bool> reading{true};
  std::thread sender([&] {
    for (std::uint32_t i = 0; i < 10 && reading; ++i) {
      while (reading && now < (i + 1) * 150) std::this_thread::sleep_for(std::chrono::milliseconds(1));
      if (reading) pty.Write(std::vector<std::uint8_t>{std::uint8_t('0' + i)});
    }
  });
  const auto n = drv.ReadData(buf, 10);
  reading = false;
  sender.join();
  EXPECT_EQ(n, 10u);
  EXPECT_EQ(std::string(buf, buf + 10), "0123456789");
  EXPECT_GE(now, 1500u);
}

TEST_F(SerialLine, EachByteTakenRestartsTheSendTimeout) {
  // Nobody reads the far end yet: fill its buffers until the driver takes no more.
  std::vector<std::uint8_t> fill(1 << 20, 0xA5);
  drv.SetOutputTimeout(100);
  const std::uint32_t queued = drv.SendData(fill.data(), std::uint32_t(fill.size()));
  ASSERT_LT(queued, fill.size());
  // Then the far end takes what has reached it at every look at the clock,
  // which moves on a millisecond a look: never still for the 200 ms
  // time-out, while a megabyte takes the clock far past 200 ms in all.
  std::uint32_t now = 0;
  std::size_t taken = 0;
  drv.SetTickSource([&] {
    std::uint8_t buf[4096];
    for (ssize_t n; (n = ::read(pty.FarFd(), buf, sizeof buf)) > 0;) taken += std::size_t(n);
    return ++now;
  });
  const std::vector<std::uint8_t> more(1 << 20, 0x5A);
  EXPECT_EQ(drv.SendData(more.data(), std::uint32_t(more.size()), 200), more.size());
  EXPECT_GT(now, 200u);
  drv.SetTickSource(MonotonicTickSource());
  taken += pty.Read(queued + more.size() - taken, 10000).size();
  EXPECT_EQ(taken, queued + more.size());
}

TEST_F(SerialLine, ReadReturnsPartialCountOnSilence) {
  pty.Write("abc");
  ASSERT_TRUE(WaitForInput(drv, 3));
  std::uint8_t buf[8] = {};
  EXPECT_EQ(drv.ReadData(buf, 8), 3u);
  EXPECT_EQ(std::string(buf, buf + 3), "abc");
}

TEST_F(SerialLine, SendIntoAStuckQueueReturnsWhatFit) {
  // Nobody reads the far end: the pty's buffers fill and stay full.
  drv.SetOutputTimeout(100);
  std::vector<std::uint8_t> big(1 << 20, 0xA5);
  const auto t0 = Clock::now();
  const auto n = drv.SendData(big.data(), std::uint32_t(big.size()));
  const auto took = ElapsedSince(t0).count();
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  EXPECT_GE(took, 100);
  EXPECT_LT(took, 5000);
  // What was accepted is what arrives, byte for byte.
  auto got = pty.Read(n + 1, 2000);
  EXPECT_EQ(got.size(), n);
  drv.SetOutputTimeout(0);
  EXPECT_EQ(drv.SendData(big.data(), 10, 50), 10u) << "a drained queue takes bytes again";
}

// Gathered sends are held only until the component is asked anything else:
// whatever the question, the bytes are on the line before it is answered.
struct HandOver {
  const char* name;
  void (*ask)(TSerialPortDriver&);
};
class CoalescedSends : public SerialLine, public ::testing::WithParamInterface<HandOver> {};
TEST_P(CoalescedSends, ReachTheLineBeforeTheComponentAnswersAnything) {
  drv.SetInputTimeout(0);
  std::vector<std::uint8_t> block(1025);
  std::iota(block.begin(), block.end(), 0);
  TCoalescedSends gather(drv);
  EXPECT_TRUE(drv.SendByte(0x41));
  EXPECT_EQ(drv.SendData(block.data(), std::uint32_t(block.size())), 1025u);
  EXPECT_TRUE(drv.SendString("ok"));
  EXPECT_TRUE(pty.Read(1, 50).empty()) << "gathered, not yet written";
  GetParam().ask(drv);
  const auto got = pty.Read(1028, 2000);
  ASSERT_EQ(got.size(), 1028u);
  EXPECT_EQ(got[0], 0x41);
  EXPECT_TRUE(std::equal(block.begin(), block.end(), got.begin() + 1));
  EXPECT_EQ(std::string(got.end() - 2, got.end()), "ok");
}
INSTANTIATE_TEST_SUITE_P(
    Serial, CoalescedSends,
    ::testing::Values(HandOver{"ReadByte", [](TSerialPortDriver& d) { std::uint8_t b; d.ReadByte(b); }},
                      HandOver{"InputCount", [](TSerialPortDriver& d) { d.InputCount(); }},
                      HandOver{"OutputFree", [](TSerialPortDriver& d) { d.OutputFree(); }},
                      HandOver{"GetLineStatus", [](TSerialPortDriver& d) { d.GetLineStatus(); }},
                      HandOver{"FlushInput", [](TSerialPortDriver& d) { d.FlushBuffers(true, false); }},
                      HandOver{"PollTick", [](TSerialPortDriver& d) { d.PollTick(); }},
                      HandOver{"WaitUntilSent", [](TSerialPortDriver& d) { d.WaitUntilSent(); }},
                      HandOver{"EndOfTheGathering", [](TSerialPortDriver& d) { d.EndCoalescing(); d.BeginCoalescing(); }}),
    [](const ::testing::TestParamInfo<HandOver>& i) { return std::string(i.param.name); });

TEST_F(SerialLine, CheckLineStatusStopsWithoutModemLines) {
  // A pty has no modem lines at all: exactly the missing-cable case.
  EXPECT_EQ(drv.GetLineStatus(), 0);
  drv.SetCheckLineStatus(true);
  drv.SetOutputTimeout(5000);
  const auto t0 = Clock::now();
  EXPECT_FALSE(drv.SendByte(0x1F));
  EXPECT_LT(ElapsedSince(t0).count(), 1000) << "must not wait for the time-out";
  EXPECT_EQ(pty.Read(1, 100).size(), 0u);
  drv.SetCheckLineStatus(false);
  EXPECT_TRUE(drv.SendByte(0x1F));
}

struct FlushCase {
  bool in, out;
  std::int32_t inputAfter;
};
class FlushTable : public SerialLine, public ::testing::WithParamInterface<FlushCase> {};
TEST_P(FlushTable, EmptiesChosenQueuesAndAlwaysClearsTiming) {
  drv.SetPacketSize(10);
  pty.Write("stale");
  ASSERT_TRUE(WaitForInput(drv, 5));
  drv.PollTick();
  ASSERT_NE(drv.PacketStartTick(), 0xFFFFFFFFu);
  drv.FlushBuffers(GetParam().in, GetParam().out);
  EXPECT_EQ(drv.InputCount(), GetParam().inputAfter);
  EXPECT_EQ(drv.PacketStartTick(), 0xFFFFFFFFu);
}
INSTANTIATE_TEST_SUITE_P(Serial, FlushTable,
                         ::testing::Values(FlushCase{true, false, 0}, FlushCase{false, false, 5},
                                           FlushCase{false, true, 5}, FlushCase{true, true, 0}),
                         [](const auto& row) {
                           const FlushCase& c = row.param;
                           return c.in ? (c.out ? "BothQueues" : "InputOnly") : (c.out ? "OutputOnly" : "NeitherQueue");
                         });

TEST_F(SerialLine, FlushedByteIsNotTakenForAFreshOne) {
  pty.Write("N");
  ASSERT_TRUE(WaitForInput(drv, 1));
  drv.FlushBuffers(true, false);
  pty.Write("A");
  std::uint8_t b = 0;
  ASSERT_TRUE(drv.ReadByte(b));
  EXPECT_EQ(b, 'A');
}

TEST_F(SerialLine, HangUpIsSeenAndBoundsEveryCall) {
  EXPECT_FALSE(drv.LineLost());
  pty.HangUp();
  const auto t0 = Clock::now();
  std::uint8_t b = 0;
  EXPECT_FALSE(drv.ReadByte(b));
  EXPECT_FALSE(drv.SendString("ok"));
  drv.PollTick();
  EXPECT_LT(ElapsedSince(t0).count(), 5000);
  EXPECT_TRUE(drv.LineLost());
  EXPECT_TRUE(drv.Connected()) << "a lost line is still an open port until Disconnect";
  drv.Disconnect();
  EXPECT_FALSE(drv.LineLost());
}

}  // namespace

namespace {

// A pty takes every byte at once, faster than the speed set: once the far
// end has answered a block, that block's line time is over, so the reply
// window of the next starts at most one block's line time (89 ms) later,
// however many blocks went before.
TEST_F(SerialLine, AnAnswerEndsTheLineTimeOfWhatWentBefore) {
  const std::vector<std::uint8_t> block(1025, 0x5A);
  for (int k = 0; k < 40; ++k) {
    ASSERT_EQ(drv.SendData(block.data(), std::uint32_t(block.size())), block.size());
    ASSERT_EQ(pty.Read(block.size(), 5000).size(), block.size());
    pty.Write("ok.");
    ASSERT_TRUE(drv.WaitUntilSent());
    std::uint8_t reply[3];
    ASSERT_EQ(drv.ReadData(reply, 3), 3u);
  }
  ASSERT_EQ(drv.SendData(block.data(), std::uint32_t(block.size())), block.size());
  ASSERT_EQ(pty.Read(block.size(), 5000).size(), block.size());
  const auto t0 = Clock::now();
  EXPECT_TRUE(drv.WaitUntilSent());
  EXPECT_LT(ElapsedSince(t0).count(), 1000) << "forty blocks' line time would be 3.6 s";
}

}  // namespace
