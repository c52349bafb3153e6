// What every platform file must do, checked against a real line: a pty, held
// by this process on Linux and by the far agent when the test runs as a
// Windows program under Wine. The same tests run on both systems.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "FarEnd.h"
#include "platform.h"

using serial_platform::LineSettings;
using serial_platform::OpenOutcome;
using serial_platform::OpenResult;
using serial_platform::Parity;
using serial_platform::PortHandle;
using serial_platform::RtsMode;
using serial_platform::StopBits;

namespace {

using Clock = std::chrono::steady_clock;

// Generous: a loaded machine running Wine can stall for seconds.
constexpr auto kPatience = std::chrono::seconds(20);

std::vector<std::uint8_t> AllByteValues() {
  std::vector<std::uint8_t> v(256);
  for (unsigned i = 0; i < 256; ++i) v[i] = std::uint8_t(i);
  return v;
}

class PlatformLine : public ::testing::Test {
protected:
  void SetUp() override {
    far = MakeFarEnd();
    OpenResult result;
    port = PortHandle::Open(far->NearName(), result);
    ASSERT_NE(port, nullptr) << result.reason;
    EXPECT_EQ(result.outcome, OpenOutcome::Ok);
    LineSettings kept;
    port->Apply(LineSettings{}, kept);
  }

  // Waits, napping in the platform's own way, until `want` bytes wait.
  bool AwaitInput(std::uint32_t want) {
    const auto until = Clock::now() + kPatience;
    std::uint32_t n = 0;
    while (port->InputWaiting(n) && n < want && Clock::now() < until) port->WaitReadable(50);
    return n >= want;
  }

  std::vector<std::uint8_t> ReadAll(std::size_t want) {
    std::vector<std::uint8_t> got;
    const auto until = Clock::now() + kPatience;
    while (got.size() < want && Clock::now() < until) {
      std::uint8_t buf[512];
      const std::size_t n = port->Read(buf, std::min(sizeof buf, want - got.size()));
      got.insert(got.end(), buf, buf + n);
      if (n == 0) port->WaitReadable(50);
    }
    return got;
  }

  std::size_t WriteAll(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    const auto until = Clock::now() + kPatience;
    while (done < bytes.size() && Clock::now() < until) {
      const std::size_t n = port->Write(bytes.data() + done, bytes.size() - done);
      done += n;
      if (n == 0) port->WaitWritable(50);
    }
    return done;
  }

  std::unique_ptr<FarEnd> far;
  std::unique_ptr<PortHandle> port;
};

// --- open ------------------------------------------------------------------------

struct RefusedRow {
  const char* name;
  OpenOutcome outcome;
};

void PrintTo(const RefusedRow& row, std::ostream* os) { *os << row.name; }

class RefusedOpen : public ::testing::TestWithParam<RefusedRow> {};

TEST_P(RefusedOpen, SaysWhichDeviceAndWhy) {
  std::string path;
  std::filesystem::path file;
  if (GetParam().outcome == OpenOutcome::NotFound) {
#ifdef _WIN32
    path = "\\\\.\\COM199";
#else
    path = "/dev/no-such-serial-port";
#endif
  } else {
    file = std::filesystem::temp_directory_path() / "stb-contract-plain-file";
    std::ofstream(file) << "not a serial device";
    path = file.string();
  }
  OpenResult result;
  auto port = PortHandle::Open(path, result);
  EXPECT_EQ(port, nullptr);
  EXPECT_EQ(result.outcome, GetParam().outcome);
  EXPECT_NE(result.reason.find(path), std::string::npos) << result.reason;
  EXPECT_GT(result.reason.size(), path.size() + 2) << "the system's reason follows the device name";
  if (!file.empty()) std::filesystem::remove(file);
}

INSTANTIATE_TEST_SUITE_P(Platform, RefusedOpen,
                         ::testing::Values(RefusedRow{"Missing", OpenOutcome::NotFound},
                                           RefusedRow{"PlainFile", OpenOutcome::NotATerminal}),
                         [](const auto& row) { return std::string(row.param.name); });

// Wine keeps no share modes for devices between programs, so exclusivity is
// a Linux-only check.
#ifndef _WIN32
TEST_F(PlatformLine, SecondOpenIsTurnedAway) {
  OpenResult result;
  auto second = PortHandle::Open(far->NearName(), result);
  EXPECT_EQ(second, nullptr);
  EXPECT_EQ(result.outcome, OpenOutcome::Busy);
  EXPECT_NE(result.reason.find("held by another program"), std::string::npos) << result.reason;
}
#endif

// --- settings ----------------------------------------------------------------------

struct SettingsRow {
  const char* name;
  LineSettings settings;
  bool ptyKeepsAll;  // a pty forces 8 bits without parity
  FarView expect;
};

void PrintTo(const SettingsRow& row, std::ostream* os) { *os << row.name; }

LineSettings Line(std::uint32_t baud, std::uint8_t bits, Parity parity, StopBits stop, RtsMode rts, bool xonXoff) {
  LineSettings s;
  s.baud = baud;
  s.dataBits = bits;
  s.parity = parity;
  s.stopBits = stop;
  s.rts = rts;
  s.xonXoff = xonXoff;
  return s;
}

FarView Seen(std::uint32_t baud, bool odd, bool stick, bool twoStop, bool rtsCts, bool xonXoff) {
  return FarView{baud, odd, stick, twoStop, rtsCts, xonXoff, 0x11, 0x13};
}

class SettingsReachTheLine : public PlatformLine, public ::testing::WithParamInterface<SettingsRow> {};

TEST_P(SettingsReachTheLine, AsTheFarEndSeesThem) {
  const auto& row = GetParam();
  LineSettings readBack;
  const bool kept = port->Apply(row.settings, readBack);
  if (row.ptyKeepsAll) {
    EXPECT_TRUE(kept) << "every setting of this row fits a pty";
  }
  const FarView v = far->View();
  EXPECT_EQ(v.baud, row.expect.baud);
  EXPECT_EQ(readBack.baud, v.baud) << "the speed read back is the line's";
  EXPECT_EQ(v.oddParity, row.expect.oddParity);
  EXPECT_EQ(v.stickParity, row.expect.stickParity);
  EXPECT_EQ(v.twoStopBits, row.expect.twoStopBits);
  EXPECT_EQ(v.rtsCts, row.expect.rtsCts);
  EXPECT_EQ(v.xonXoff, row.expect.xonXoff);
  EXPECT_EQ(v.xonChar, 0x11);
  EXPECT_EQ(v.xoffChar, 0x13);
}

INSTANTIATE_TEST_SUITE_P(
    Platform, SettingsReachTheLine,
    ::testing::Values(
        SettingsRow{"Link115200_8N1", Line(115200, 8, Parity::None, StopBits::One, RtsMode::High, false), true,
                    Seen(115200, false, false, false, false, false)},
        SettingsRow{"XonXoff9600_8N2", Line(9600, 8, Parity::None, StopBits::Two, RtsMode::Low, true), true,
                    Seen(9600, false, false, true, false, true)},
        SettingsRow{"RtsCts57600_7O1", Line(57600, 7, Parity::Odd, StopBits::One, RtsMode::Handshake, false), false,
                    Seen(57600, true, false, false, true, false)},
        SettingsRow{"Mark2400_8M1", Line(2400, 8, Parity::Mark, StopBits::One, RtsMode::High, false), false,
                    Seen(2400, true, true, false, false, false)},
        SettingsRow{"Space1200_8S2", Line(1200, 8, Parity::Space, StopBits::Two, RtsMode::High, false), false,
                    Seen(1200, false, true, true, false, false)},
        SettingsRow{"HalfStop4800_5N15", Line(4800, 5, Parity::None, StopBits::OneAndHalf, RtsMode::High, false),
                    false, Seen(4800, false, false, true, false, false)}),
    [](const auto& row) { return std::string(row.param.name); });

// A driver may not offer 14400 bit/s; then Apply must not claim it did.
TEST_F(PlatformLine, OddSpeedIsKeptOrReportedRefused) {
  LineSettings readBack;
  const bool kept = port->Apply(Line(14400, 8, Parity::None, StopBits::One, RtsMode::High, false), readBack);
  const std::uint32_t baud = far->View().baud;
  if (kept) {
    EXPECT_EQ(baud, 14400u);
  } else {
    EXPECT_NE(baud, 14400u) << "reported refused, yet the line runs at 14400";
  }
}

// --- transfer and counts --------------------------------------------------------------

TEST_F(PlatformLine, EveryByteValueCrossesUntouchedBothWays) {
  const auto bytes = AllByteValues();
  ASSERT_EQ(WriteAll(bytes), bytes.size());
  EXPECT_EQ(far->Read(bytes.size(), 20000), bytes);

  far->Write(bytes);
  ASSERT_TRUE(AwaitInput(std::uint32_t(bytes.size())));
  EXPECT_EQ(ReadAll(bytes.size()), bytes);
  std::uint32_t left = 1;
  EXPECT_TRUE(port->InputWaiting(left));
  EXPECT_EQ(left, 0u);
}

TEST_F(PlatformLine, ReadOfAnEmptyLineReturnsAtOnceWithNothing) {
  std::uint8_t buf[16];
  EXPECT_EQ(port->Read(buf, sizeof buf), 0u);
  port->WaitReadable(20);
  std::uint32_t n = 1;
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 0u);
  // A byte arriving later wakes the wait.
  far->Write({0x5A});
  ASSERT_TRUE(AwaitInput(1));
  EXPECT_EQ(ReadAll(1), std::vector<std::uint8_t>{0x5A});
}

TEST_F(PlatformLine, CountsAndInputFlush) {
  far->Write(std::vector<std::uint8_t>(100, 0x42));
  ASSERT_TRUE(AwaitInput(100));
  std::uint32_t n = 0;
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 100u);
  EXPECT_TRUE(port->OutputWaiting(n));

  port->Flush(true, false);
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 0u);
  std::uint8_t buf[8];
  EXPECT_EQ(port->Read(buf, sizeof buf), 0u) << "flushed bytes must not come back";
}

// Nobody reads the far end: the near end's writes must come back with 0
// rather than wait, and move again once the far end has read.
TEST_F(PlatformLine, FullLineNeitherBlocksNorLosesTheWriter) {
  const std::vector<std::uint8_t> chunk(16384, 0x33);
  std::size_t total = 0;
  bool stalled = false;
  for (int i = 0; i < 512 && !stalled; ++i) {
    const std::size_t n = port->Write(chunk.data(), chunk.size());
    total += n;
    stalled = n == 0;
  }
  ASSERT_TRUE(stalled) << "wrote " << total << " bytes without the line filling up";
  far->Drain();
  const std::uint8_t one = 0x44;
  std::size_t moved = 0;
  const auto until = Clock::now() + kPatience;
  while (moved == 0 && Clock::now() < until) {
    far->Drain();
    moved = port->Write(&one, 1);
    if (moved == 0) port->WaitWritable(50);
  }
  EXPECT_EQ(moved, 1u);
}

// Bytes may come while a wait sleeps (a platform may take them from the
// driver to wake): they are counted, and read once, first and in order, even
// a byte at a time. The far end writes from another thread, racing the wait;
// either order must come out the same.
TEST_F(PlatformLine, BytesThatEndAWaitAreCountedAndReadOnceInTheirPlace) {
  std::thread writer([&] { far->Write({0x61, 0x62}); });
  port->WaitReadable(20000);
  writer.join();
  far->Write({0x63, 0x64});
  ASSERT_TRUE(AwaitInput(4));
  std::uint32_t n = 0;
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 4u);
  std::vector<std::uint8_t> got;
  for (int i = 0; i < 4; ++i) {
    const auto one = ReadAll(1);
    got.insert(got.end(), one.begin(), one.end());
  }
  EXPECT_EQ(got, (std::vector<std::uint8_t>{0x61, 0x62, 0x63, 0x64}));
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 0u);
}

TEST_F(PlatformLine, InputFlushDropsWhatAWaitTook) {
  std::thread writer([&] { far->Write({0x71}); });
  port->WaitReadable(20000);
  writer.join();
  ASSERT_TRUE(AwaitInput(1));
  port->Flush(true, false);
  std::uint32_t n = 1;
  EXPECT_TRUE(port->InputWaiting(n));
  EXPECT_EQ(n, 0u);
  far->Write({0x72});
  ASSERT_TRUE(AwaitInput(1));
  EXPECT_EQ(ReadAll(1), std::vector<std::uint8_t>{0x72}) << "a flushed byte came back";
}

// --- lost device ---------------------------------------------------------------------

struct HangUpRow {
  const char* name;
  bool forRoom;  // waits for room on a full line, else for a byte
};

void PrintTo(const HangUpRow& row, std::ostream* os) { *os << row.name; }

class HangUpEndsAWait : public PlatformLine, public ::testing::WithParamInterface<HangUpRow> {};

// The far end hangs up from another thread, before the wait begins or while
// it sleeps: either way the wait, far longer than the test, ends at once.
TEST_P(HangUpEndsAWait, AtOnceAndTheLineIsLost) {
  if (GetParam().forRoom) {
    const std::vector<std::uint8_t> chunk(16384, 0x33);
    for (int i = 0; i < 512 && port->Write(chunk.data(), chunk.size()) > 0; ++i) {
    }
  }
  const auto start = Clock::now();
  std::thread hangUp([&] { far->HangUp(); });
  if (GetParam().forRoom) port->WaitWritable(120000);
  else port->WaitReadable(120000);
  hangUp.join();
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(60));
  EXPECT_TRUE(port->Lost());
}

INSTANTIATE_TEST_SUITE_P(Platform, HangUpEndsAWait,
                         ::testing::Values(HangUpRow{"WaitForInput", false}, HangUpRow{"WaitForRoom", true}),
                         [](const auto& row) { return std::string(row.param.name); });


TEST_F(PlatformLine, HungUpLineIsLostAndMovesNothing) {
  EXPECT_FALSE(port->Lost());
  far->HangUp();
  const auto until = Clock::now() + kPatience;
  std::uint8_t buf[8];
  while (!port->Lost() && Clock::now() < until) {
    std::uint32_t n = 0;
    if (port->InputWaiting(n) && n > 0) port->Read(buf, sizeof buf);
    port->WaitReadable(50);
  }
  EXPECT_TRUE(port->Lost());
  EXPECT_EQ(port->Read(buf, sizeof buf), 0u);
  EXPECT_EQ(port->Write(buf, sizeof buf), 0u);
  EXPECT_TRUE(port->Lost()) << "once lost, always lost";
}

}  // namespace
