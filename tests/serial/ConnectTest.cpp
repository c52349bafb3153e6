// Opening, locking, configuring and closing a real pty through the component.
#include <dirent.h>
#include <sys/ioctl.h>
#include <termios.h>


#include "PortList.h"
#include "SerialFixture.h"

namespace {

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d) != nullptr) ++n;
    closedir(d);
  }
  return n;
}

// The slave's settings as the kernel holds them; on a pty master TCGETS
// answers for the slave.
termios SlaveSettings(const PtyPair& pty) {
  termios t{};
  EXPECT_EQ(tcgetattr(pty.FarFd(), &t), 0);
  return t;
}

// Speeds outside the B-table show only in the kernel's own record.
struct KernelTermios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};
speed_t SlaveOutputSpeed(const PtyPair& pty) {
  KernelTermios2 t{};
  EXPECT_EQ(ioctl(pty.FarFd(), _IOR('T', 0x2A, KernelTermios2), &t), 0);
  return t.c_ospeed;
}

struct LineCase {
  const char* name;
  TComPortBaudRate speed;
  TComPortDataBits dataBits;
  TComPortParity parity;
  TComPortStopBits stopBits;
  TComPortHwHandshaking hw;
  TComPortSwHandshaking sw;
  std::uint32_t bitsPerSecond;
  tcflag_t cflagSet;    // must be on in c_cflag
  tcflag_t cflagClear;  // must be off in c_cflag
  tcflag_t iflagSet;
  tcflag_t iflagClear;
};

class LineSettingsReachDriver : public SerialLine, public ::testing::WithParamInterface<LineCase> {};

TEST_P(LineSettingsReachDriver, WhileConnected) {
  const auto& c = GetParam();
  drv.SetComPortSpeed(c.speed);
  drv.SetComPortDataBits(c.dataBits);
  drv.SetComPortParity(c.parity);
  drv.SetComPortStopBits(c.stopBits);
  drv.SetComPortHwHandshaking(c.hw);
  drv.SetComPortSwHandshaking(c.sw);

  termios t = SlaveSettings(pty);
  // A pty rewrites CSIZE to CS8 and drops PARENB on every set; PARODD, CMSPAR
  // and the rest survive, and those still tell the frames apart.
  constexpr tcflag_t kPtyForced = CSIZE | PARENB;
  EXPECT_EQ(t.c_cflag & c.cflagSet & ~kPtyForced, c.cflagSet & ~kPtyForced);
  EXPECT_EQ(t.c_cflag & c.cflagClear & ~kPtyForced, 0u);
  EXPECT_EQ(t.c_iflag & c.iflagSet, c.iflagSet);
  EXPECT_EQ(t.c_iflag & c.iflagClear, 0u);
  EXPECT_EQ(t.c_cflag & (CLOCAL | CREAD), tcflag_t(CLOCAL | CREAD));
  // Raw: no line editing, echo, signals, CR/NL games, stripping or parity marks.
  EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ECHONL | ISIG | IEXTEN), 0u);
  EXPECT_EQ(t.c_oflag & OPOST, 0u);
  EXPECT_EQ(t.c_iflag & (ICRNL | INLCR | IGNCR | ISTRIP | INPCK | PARMRK | IXANY | BRKINT), 0u);
  EXPECT_EQ(t.c_cc[VSTART], 0x11);
  EXPECT_EQ(t.c_cc[VSTOP], 0x13);
  EXPECT_EQ(t.c_cc[VMIN], 0);
  EXPECT_EQ(SlaveOutputSpeed(pty), c.bitsPerSecond);
  EXPECT_TRUE(drv.Connected());
}

INSTANTIATE_TEST_SUITE_P(
    Serial, LineSettingsReachDriver,
    ::testing::Values(
        LineCase{"Link8N1", br115200, db8BITS, ptNONE, sb1BITS, hhNONERTSON, shNONE, 115200, CS8,
                 PARENB | CSTOPB | CRTSCTS | CMSPAR, 0, IXON | IXOFF},
        LineCase{"Even7Stop2", br9600, db7BITS, ptEVEN, sb2BITS, hhNONE, shNONE, 9600, CS7 | PARENB | CSTOPB,
                 PARODD | CMSPAR | CRTSCTS, 0, IXON | IXOFF},
        LineCase{"Odd5OneAndHalf", br110, db5BITS, ptODD, sb1HALFBITS, hhNONE, shNONE, 110,
                 PARENB | PARODD | CSTOPB, CSIZE | CMSPAR, 0, 0},
        LineCase{"Mark6", br300, db6BITS, ptMARK, sb1BITS, hhNONE, shNONE, 300, CS6 | PARENB | PARODD | CMSPAR,
                 CSTOPB, 0, 0},
        LineCase{"Space8", br57600, db8BITS, ptSPACE, sb1BITS, hhNONE, shNONE, 57600, CS8 | PARENB | CMSPAR,
                 PARODD | CSTOPB, 0, 0},
        LineCase{"RtsCts", br38400, db8BITS, ptNONE, sb1BITS, hhRTSCTS, shNONE, 38400, CS8 | CRTSCTS, PARENB,
                 0, IXON | IXOFF},
        LineCase{"XonXoff", br19200, db8BITS, ptNONE, sb1BITS, hhNONERTSON, shXONXOFF, 19200, CS8, CRTSCTS,
                 IXON | IXOFF, 0},
        LineCase{"Odd14400", br14400, db8BITS, ptNONE, sb1BITS, hhNONERTSON, shNONE, 14400, CS8, 0, 0, 0},
        LineCase{"Odd56000", br56000, db8BITS, ptNONE, sb1BITS, hhNONERTSON, shNONE, 56000, CS8, 0, 0, 0}),
    [](const auto& row) { return std::string(row.param.name); });

TEST(SerialConnect, SettingsMadeBeforeConnectAreApplied) {
  PtyPair pty;
  TSerialPortDriver drv;
  drv.SetComPort(kTestPort);
  drv.SetComPortDevice(pty.NearPath());
  drv.SetComPortSpeed(br2400);
  drv.SetComPortParity(ptODD);
  drv.SetComPortStopBits(sb2BITS);
  ASSERT_TRUE(drv.Connect());
  termios t = SlaveSettings(pty);
  EXPECT_EQ(cfgetospeed(&t), speed_t(B2400));
  EXPECT_EQ(t.c_cflag & (PARODD | CSTOPB), tcflag_t(PARODD | CSTOPB));
}

// A pty runs every frame as 8 bits without parity, whatever it is asked:
// the component must say so, not carry on as if the line were 7E1.
TEST(SerialConnect, SettingsTheDeviceDidNotTakeAreReported) {
  PtyPair pty;
  TSerialPortDriver drv;
  drv.SetComPort(kTestPort);
  drv.SetComPortDevice(pty.NearPath());
  drv.SetComPortDataBits(db7BITS);
  drv.SetComPortParity(ptEVEN);
  ASSERT_TRUE(drv.Connect());
  const std::string warning = "the port runs with 8 data bits, not 7, with no parity, not even parity";
  EXPECT_EQ(drv.SettingsWarning(), warning);
  EXPECT_EQ(drv.LastError(), pty.NearPath() + ": " + warning);
  drv.SetComPortDataBits(db8BITS);
  drv.SetComPortParity(ptNONE);
  EXPECT_EQ(drv.SettingsWarning(), "") << "8N1 fits a pty";
}

struct RefusedCase {
  const char* name;
  const char* path;
  const char* reasonHas;
};
class RefusedOpen : public ::testing::TestWithParam<RefusedCase> {};
TEST_P(RefusedOpen, FailsCleanly) {
  TSerialPortDriver drv;
  drv.SetComPort(pnCOM3);
  drv.SetComPortDevice(GetParam().path);
  const int before = OpenDescriptors();
  EXPECT_FALSE(drv.Connect());
  EXPECT_FALSE(drv.Connected());
  EXPECT_FALSE(drv.PollTimerActive());
  EXPECT_EQ(OpenDescriptors(), before) << "a refused open must not keep a descriptor";
  EXPECT_NE(drv.LastError().find(GetParam().path), std::string::npos) << drv.LastError();
  EXPECT_NE(drv.LastError().find(GetParam().reasonHas), std::string::npos) << drv.LastError();
  EXPECT_EQ(drv.InputCount(), 65535);
}
INSTANTIATE_TEST_SUITE_P(Serial, RefusedOpen,
                         ::testing::Values(RefusedCase{"Missing", "/dev/no-such-serial-port", "set COM3"},
                                           RefusedCase{"NotATty", "/dev/null", "not a serial device"},
                                           RefusedCase{"Directory", "/dev", "/dev"}),
                         [](const auto& row) { return std::string(row.param.name); });

TEST(SerialConnect, SecondComponentIsTurnedAwayUntilFirstLetsGo) {
  PtyPair pty;
  TSerialPortDriver first, second;
  first.SetComPortDevice(pty.NearPath());
  second.SetComPortDevice(pty.NearPath());
  ASSERT_TRUE(first.Connect());
  const int before = OpenDescriptors();
  EXPECT_FALSE(second.Connect());
  EXPECT_EQ(OpenDescriptors(), before) << "the descriptor of a failed lock leaked";
  EXPECT_NE(second.LastError().find("held by another program"), std::string::npos) << second.LastError();
  first.Disconnect();
  EXPECT_TRUE(second.Connect()) << second.LastError();
  EXPECT_TRUE(second.LastError().empty());
}

// The system hands a lost pseudo-terminal's number to the next terminal
// opened, which is nobody's line to this box: the component never opens
// that number again, even once it is there anew.
TEST(SerialConnect, LostPseudoTerminalIsNeverReopenedByItsNumber) {
  auto lost = std::make_unique<PtyPair>();
  const std::string number = lost->NearPath();
  EXPECT_EQ(ReturningName(number), "");
  TSerialPortDriver drv;
  drv.SetComPortDevice(number);
  ASSERT_TRUE(drv.Connect()) << drv.LastError();
  lost->HangUp();
  std::uint8_t b = 0;
  EXPECT_FALSE(drv.ReadByte(b));
  ASSERT_TRUE(drv.LineLost());
  EXPECT_FALSE(drv.ReconnectLost());  // lets the number go
  lost.reset();
  const PtyPair next;  // the lowest number free: most often the one let go
  EXPECT_FALSE(drv.ReconnectLost()) << next.NearPath();
  EXPECT_FALSE(drv.Connected());
}

TEST_F(SerialLine, ConnectAgainNeitherReopensNorFlushes) {
  pty.Write("abc");
  ASSERT_TRUE(WaitForInput(drv, 3));
  const int before = OpenDescriptors();
  EXPECT_TRUE(drv.Connect());
  EXPECT_EQ(OpenDescriptors(), before);
  EXPECT_EQ(drv.InputCount(), 3);
}

TEST_F(SerialLine, PortAndQueueSizesFrozenWhileConnected) {
  drv.SetComPort(pnCOM3);
  drv.SetComPortInBufSize(512);
  drv.SetComPortOutBufSize(100);
  EXPECT_EQ(drv.ComPort(), kTestPort);
  EXPECT_EQ(drv.ComPortInBufSize(), 2048);
  EXPECT_EQ(drv.ReceiveBufferSize(), 2048u);
  EXPECT_EQ(drv.ComPortOutBufSize(), 2048);
  // The packet-size rule still runs while connected.
  drv.SetPacketSize(3000);
  EXPECT_EQ(drv.ComPortInBufSize(), 6000);
  EXPECT_EQ(drv.ReceiveBufferSize(), 6000u);

  drv.Disconnect();
  drv.SetComPort(pnCOM3);
  drv.SetComPortOutBufSize(100);
  EXPECT_EQ(drv.ComPort(), pnCOM3);
  EXPECT_EQ(drv.ComPortOutBufSize(), 100);
}

TEST_F(SerialLine, LineSettingChangeEmptiesQueuesAndPacketTiming) {
  drv.SetPacketSize(10);
  pty.Write("abcd");
  ASSERT_TRUE(WaitForInput(drv, 4));
  drv.PollTick();
  ASSERT_NE(drv.PacketStartTick(), 0xFFFFFFFFu);
  drv.SetComPortSpeed(br9600);
  EXPECT_EQ(drv.InputCount(), 0);
  EXPECT_EQ(drv.PacketStartTick(), 0xFFFFFFFFu);
  EXPECT_EQ(drv.OutputFree(), 2048);
}

TEST(SerialConnect, DisconnectAndDestructionClosePort) {
  PtyPair pty;
  const int before = OpenDescriptors();
  {
    TSerialPortDriver drv;
    drv.SetComPort(kTestPort);
    drv.SetComPortDevice(pty.NearPath());
    ASSERT_TRUE(drv.Connect());
    EXPECT_TRUE(drv.PollTimerActive());
    EXPECT_EQ(OpenDescriptors(), before + 1);
    drv.Disconnect();
    EXPECT_FALSE(drv.Connected());
    EXPECT_FALSE(drv.PollTimerActive());
    EXPECT_EQ(OpenDescriptors(), before);
    drv.Disconnect();
    ASSERT_TRUE(drv.Connect()) << "reopening after Disconnect: " << drv.LastError();
  }
  EXPECT_EQ(OpenDescriptors(), before);
}

TEST(SerialConnect, SamePollingDelayDoesNotRestartTimer) {
  PtyPair pty;
  auto timer = std::make_unique<TManualPollTimer>();
  TManualPollTimer& ticks = *timer;
  TSerialPortDriver drv(std::move(timer));
  drv.SetComPort(kTestPort);
  drv.SetComPortDevice(pty.NearPath());
  ASSERT_TRUE(drv.Connect());
  drv.SetComPortPollingDelay(1000);
  const int starts = ticks.Starts();
  drv.SetComPortPollingDelay(1000);
  EXPECT_EQ(ticks.Starts(), starts);
  EXPECT_EQ(ticks.Interval(), 1000u);
  drv.SetComPortPollingDelay(20);
  EXPECT_EQ(ticks.Starts(), starts + 1);
  EXPECT_EQ(ticks.Interval(), 20u);
}

}  // namespace

namespace {

// What a terminal program leaves on a port: a slow line with hardware flow
// control and line editing, the opposite of ours in every word.
struct LeftSettings {
  const char* name;
  speed_t speed;
  std::uint32_t otherSpeed;  // a speed outside the B-table, 0 for none
};

class SettingsPutBack : public ::testing::TestWithParam<LeftSettings> {};

TEST_P(SettingsPutBack, WhenThePortCloses) {
  PtyPair pty;
  termios before = SlaveSettings(pty);
  cfsetispeed(&before, GetParam().speed);
  cfsetospeed(&before, GetParam().speed);
  before.c_cflag |= CRTSCTS | PARENB;
  before.c_iflag |= IXON | ICRNL;
  before.c_lflag |= ICANON | ECHO | ISIG;
  before.c_oflag |= OPOST | ONLCR;
  before.c_cc[VMIN] = 4;
  ASSERT_EQ(tcsetattr(pty.FarFd(), TCSANOW, &before), 0);
  if (GetParam().otherSpeed != 0) {
    KernelTermios2 t2{};
    ASSERT_EQ(ioctl(pty.FarFd(), _IOR('T', 0x2A, KernelTermios2), &t2), 0);
    t2.c_cflag = (t2.c_cflag & ~tcflag_t(CBAUD | (CBAUD << 16))) | 0010000 | (0010000 << 16);
    t2.c_ispeed = t2.c_ospeed = GetParam().otherSpeed;
    ASSERT_EQ(ioctl(pty.FarFd(), _IOW('T', 0x2B, KernelTermios2), &t2), 0);
  }
  const termios left = SlaveSettings(pty);
  const speed_t leftSpeed = SlaveOutputSpeed(pty);

  TSerialPortDriver drv;
  drv.SetComPort(kTestPort);
  drv.SetComPortDevice(pty.NearPath());
  ASSERT_TRUE(drv.Connect()) << drv.LastError();
  termios ours = SlaveSettings(pty);
  ASSERT_EQ(SlaveOutputSpeed(pty), speed_t(115200));
  ASSERT_EQ(ours.c_lflag & ICANON, tcflag_t(0));
  ASSERT_TRUE(drv.SendString("last words"));
  drv.Disconnect();

  EXPECT_EQ(pty.Read(10, 2000).size(), 10u) << "the last bytes must leave before the port closes";
  const termios after = SlaveSettings(pty);
  EXPECT_EQ(SlaveOutputSpeed(pty), leftSpeed);
  EXPECT_EQ(after.c_cflag, left.c_cflag);
  EXPECT_EQ(after.c_iflag, left.c_iflag);
  EXPECT_EQ(after.c_lflag, left.c_lflag);
  EXPECT_EQ(after.c_oflag, left.c_oflag);
  EXPECT_EQ(after.c_cc[VMIN], left.c_cc[VMIN]);

  ASSERT_TRUE(drv.Connect()) << "opened again after the settings went back: " << drv.LastError();
  EXPECT_EQ(SlaveOutputSpeed(pty), speed_t(115200));
}

INSTANTIATE_TEST_SUITE_P(Serial, SettingsPutBack,
                         ::testing::Values(LeftSettings{"Line9600", B9600, 0},
                                           LeftSettings{"Line250000", B38400, 250000}),
                         [](const auto& row) { return std::string(row.param.name); });

}  // namespace
