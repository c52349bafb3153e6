// The receive poll: raw delivery, packet framing, packet time-outs across the
// wrap of the tick counter, and the pause count.
#include "SerialFixture.h"

namespace {

struct Received {
  std::vector<std::vector<std::uint8_t>> events;
  void Take(TSerialPortDriver* sender, TSerialPortDriver* expected, const std::uint8_t* p, std::uint32_t n) {
    EXPECT_EQ(sender, expected);
    events.emplace_back(p, p + n);
  }
};

class SerialPoll : public SerialLine {
protected:
  void SetUp() override {
    SerialLine::SetUp();
    // Nothing here runs the event loop, so ticks happen only when called.
    drv.SetTickSource([this] { return now; });
  }
  void HandleData() {
    drv.SetOnReceiveData([this](TSerialPortDriver* s, const std::uint8_t* p, std::uint32_t n) { got.Take(s, &drv, p, n); });
  }
  void HandlePackets() {
    drv.SetOnReceivePacket([this](TSerialPortDriver* s, const std::uint8_t* p, std::uint32_t n) { got.Take(s, &drv, p, n); });
  }
  void Arrive(const std::string& bytes) {
    const auto before = drv.InputCount();
    pty.Write(bytes);
    ASSERT_TRUE(WaitForInput(drv, before + std::int32_t(bytes.size())));
  }
  static std::vector<std::uint8_t> Bytes(const std::string& s) { return {s.begin(), s.end()}; }

  std::uint32_t now = 1000;
  Received got;
};

TEST_F(SerialPoll, RawModeDeliversAllWaitingInPlace) {
  HandleData();
  Arrive("0123456789");
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 1u);
  EXPECT_EQ(got.events[0], Bytes("0123456789"));
  EXPECT_EQ(drv.InputCount(), 0);
}

TEST_F(SerialPoll, RawModeWithoutHandlerDropsBytes) {
  Arrive("0123456789");
  drv.PollTick();
  EXPECT_EQ(drv.InputCount(), 0);
}

TEST_F(SerialPoll, RawModeNeverReadsPastReceiveBuffer) {
  drv.Disconnect();
  drv.SetComPortInBufSize(4);
  ASSERT_TRUE(drv.Connect());
  HandleData();
  Arrive("abcdefghij");
  drv.PollTick();
  drv.PollTick();
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 3u);
  EXPECT_EQ(got.events[0], Bytes("abcd"));
  EXPECT_EQ(got.events[1], Bytes("efgh"));
  EXPECT_EQ(got.events[2], Bytes("ij"));
}

TEST_F(SerialPoll, PausedTicksLeaveBytesQueued) {
  HandleData();
  drv.PausePolling();
  drv.PausePolling();
  Arrive("abc");
  drv.PollTick();
  drv.ContinuePolling();
  drv.PollTick();
  EXPECT_TRUE(got.events.empty());
  EXPECT_EQ(drv.InputCount(), 3);
  drv.ContinuePolling();
  drv.PollTick();
  EXPECT_EQ(got.events.size(), 1u);
}

TEST_F(SerialPoll, WholePacketsAreTakenAndTheRestWaits) {
  HandlePackets();
  drv.SetPacketSize(10);
  Arrive("AAAAAAAAAABBBBBBBBBBccccc");
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 2u);
  EXPECT_EQ(got.events[0], Bytes("AAAAAAAAAA"));
  EXPECT_EQ(got.events[1], Bytes("BBBBBBBBBB"));
  EXPECT_EQ(drv.InputCount(), 5);
  // The leftover has not been timed before, so its clock starts now.
  EXPECT_EQ(drv.PacketStartTick(), now);
  Arrive("CCCCC");
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 3u);
  EXPECT_EQ(got.events[2], Bytes("cccccCCCCC"));
  EXPECT_EQ(drv.PacketStartTick(), 0xFFFFFFFFu) << "an emptied queue ends the timing";
}

TEST_F(SerialPoll, TimedPacketStartMovesOnByLineTime) {
  HandlePackets();
  drv.SetPacketSize(64);
  drv.SetPacketTimeout(1000);
  Arrive(std::string(10, 'x'));
  drv.PollTick();
  ASSERT_EQ(drv.PacketStartTick(), 1000u);
  Arrive(std::string(64 + 64 - 10 + 3, 'y'));
  now += 20;
  drv.PollTick();
  EXPECT_EQ(got.events.size(), 2u);
  EXPECT_EQ(drv.PacketStartTick(), 1000u + 2 * 6) << "64 bytes at 115200 bit/s is 6 ms of line";
}

struct TimeoutCase {
  const char* name;
  TPacketMode mode;
  std::uint32_t startTick;
  bool delivered;
};
class PacketTimeout : public SerialPoll, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(PacketTimeout, IncompletePacketExpiresAfterMoreThanTimeout) {
  const auto& c = GetParam();
  HandlePackets();
  drv.SetPacketSize(10);
  drv.SetPacketTimeout(300);
  drv.SetPacketMode(c.mode);
  now = c.startTick;
  Arrive("abcd");
  drv.PollTick();
  EXPECT_EQ(drv.PacketStartTick(), c.startTick);
  now = c.startTick + 300;  // may wrap past 0xFFFFFFFF
  drv.PollTick();
  EXPECT_TRUE(got.events.empty()) << "exactly the time-out is not yet expired";
  EXPECT_EQ(drv.InputCount(), 4);
  now += 1;
  drv.PollTick();
  EXPECT_EQ(drv.InputCount(), 0);
  EXPECT_EQ(drv.PacketStartTick(), 0xFFFFFFFFu);
  if (c.delivered) {
    ASSERT_EQ(got.events.size(), 1u);
    EXPECT_EQ(got.events[0], Bytes("abcd"));
  } else {
    EXPECT_TRUE(got.events.empty());
  }
}

INSTANTIATE_TEST_SUITE_P(Serial, PacketTimeout,
                         ::testing::Values(TimeoutCase{"Pass", pmPass, 5000, true},
                                           TimeoutCase{"Discard", pmDiscard, 5000, false},
                                           TimeoutCase{"PassAcrossWrap", pmPass, 0xFFFFFF00u, true},
                                           TimeoutCase{"DiscardAcrossWrap", pmDiscard, 0xFFFFFFF0u, false}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_F(SerialPoll, NoPacketTimeoutWaitsForever) {
  HandlePackets();
  drv.SetPacketSize(10);
  drv.SetPacketMode(pmPass);
  Arrive("abcd");
  drv.PollTick();
  now += 0x7FFFFFFF;
  drv.PollTick();
  EXPECT_TRUE(got.events.empty());
  EXPECT_EQ(drv.InputCount(), 4);
}

TEST_F(SerialPoll, HandlerMayReadAndSwitchToRawMode) {
  // The handler takes the trailer itself and leaves packet mode; the loop must
  // not go on framing with a stale count.
  drv.SetPacketSize(4);
  drv.SetOnReceivePacket([&](TSerialPortDriver* s, const std::uint8_t* p, std::uint32_t n) {
    got.Take(s, &drv, p, n);
    std::uint8_t trailer[2];
    EXPECT_EQ(drv.ReadData(trailer, 2), 2u);
    drv.SetPacketSize(0);
  });
  HandleData();
  Arrive("HEADtrBODY");
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 1u);
  EXPECT_EQ(drv.PollPauseCount(), 0);
  drv.PollTick();
  ASSERT_EQ(got.events.size(), 2u);
  EXPECT_EQ(got.events[1], Bytes("BODY"));
}

TEST_F(SerialPoll, HandlerMayDisconnect) {
  drv.SetPacketSize(2);
  drv.SetOnReceivePacket([&](TSerialPortDriver* s, const std::uint8_t* p, std::uint32_t n) {
    got.Take(s, &drv, p, n);
    drv.Disconnect();
  });
  Arrive("aabbcc");
  drv.PollTick();
  EXPECT_EQ(got.events.size(), 1u);
  EXPECT_FALSE(drv.Connected());
}

TEST(SerialPollTimer, EachTickOfThePollTimerRunsThePoll) {
  PtyPair pty;
  auto timer = std::make_unique<TManualPollTimer>();
  TManualPollTimer& ticks = *timer;
  TSerialPortDriver drv(std::move(timer));
  drv.SetComPort(kTestPort);
  drv.SetComPortDevice(pty.NearPath());
  drv.SetComPortPollingDelay(10);
  std::string seen;
  drv.SetOnReceiveData([&](TSerialPortDriver*, const std::uint8_t* p, std::uint32_t n) { seen.append(p, p + n); });
  ASSERT_TRUE(drv.Connect());
  EXPECT_EQ(ticks.Interval(), 10u);
  pty.Write("hello");
  ASSERT_TRUE(WaitForInput(drv, 5));
  ticks.Fire();
  EXPECT_EQ(seen, "hello");
}

}  // namespace
