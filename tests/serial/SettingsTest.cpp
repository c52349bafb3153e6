// Setter rules and the arithmetic behind the time-outs: no port needed.
#include <gtest/gtest.h>

#include <functional>

#include "SerialDrv.h"
#include "TestNames.h"
#include "platform.h"

namespace {

struct SetterCase {
  const char* name;
  std::function<void(TSerialPortDriver&)> steps;
  std::int16_t packetSize;
  std::uint16_t inBufSize;
  std::int32_t packetTimeout;
};

class SetterRules : public ::testing::TestWithParam<SetterCase> {};

TEST_P(SetterRules, EndState) {
  TSerialPortDriver drv;
  GetParam().steps(drv);
  EXPECT_EQ(drv.PacketSize(), GetParam().packetSize);
  EXPECT_EQ(drv.ComPortInBufSize(), GetParam().inBufSize);
  EXPECT_EQ(drv.ReceiveBufferSize(), GetParam().inBufSize) << "ReceiveBuffer must follow ComPortInBufSize";
  EXPECT_EQ(drv.PacketTimeout(), GetParam().packetTimeout);
}

INSTANTIATE_TEST_SUITE_P(
    Serial, SetterRules,
    ::testing::Values(
        SetterCase{"PacketSizeZero", [](TSerialPortDriver& d) { d.SetPacketSize(0); }, -1, 2048, -1},
        SetterCase{"PacketSizeNegative", [](TSerialPortDriver& d) { d.SetPacketSize(-5); }, -1, 2048, -1},
        SetterCase{"PacketSizeBackToRaw",
                   [](TSerialPortDriver& d) {
                     d.SetPacketSize(100);
                     d.SetPacketSize(0);
                   },
                   -1, 2048, -1},
        SetterCase{"PacketSizeFits", [](TSerialPortDriver& d) { d.SetPacketSize(1000); }, 1000, 2048, -1},
        SetterCase{"PacketSizeEqualsBuffer", [](TSerialPortDriver& d) { d.SetPacketSize(2048); }, 2048, 2048, -1},
        SetterCase{"PacketSizeGrowsBuffer", [](TSerialPortDriver& d) { d.SetPacketSize(3000); }, 3000, 6000, -1},
        SetterCase{"PacketSizeLargest", [](TSerialPortDriver& d) { d.SetPacketSize(32767); }, 32767, 65534, -1},
        SetterCase{"InBufShrinkBelowPacket",
                   [](TSerialPortDriver& d) {
                     d.SetPacketSize(1000);
                     d.SetComPortInBufSize(512);
                   },
                   1000, 2000, -1},
        SetterCase{"InBufShrinkRawMode", [](TSerialPortDriver& d) { d.SetComPortInBufSize(16); }, -1, 16, -1},
        SetterCase{"InBufZero", [](TSerialPortDriver& d) { d.SetComPortInBufSize(0); }, -1, 0, -1},
        SetterCase{"TimeoutBelowDelay", [](TSerialPortDriver& d) { d.SetPacketTimeout(30); }, -1, 2048, 200},
        SetterCase{"TimeoutEqualsDelay", [](TSerialPortDriver& d) { d.SetPacketTimeout(50); }, -1, 2048, 50},
        SetterCase{"TimeoutZero", [](TSerialPortDriver& d) { d.SetPacketTimeout(0); }, -1, 2048, -1},
        SetterCase{"DelayRaisesTimeout",
                   [](TSerialPortDriver& d) {
                     d.SetPacketTimeout(100);
                     d.SetComPortPollingDelay(200);
                   },
                   -1, 2048, 350},
        SetterCase{"DelayDropDoesNotLowerTimeout",
                   [](TSerialPortDriver& d) {
                     d.SetPacketTimeout(100);
                     d.SetComPortPollingDelay(200);
                     d.SetComPortPollingDelay(50);
                   },
                   -1, 2048, 350},
        SetterCase{"DelayLeavesNoTimeout", [](TSerialPortDriver& d) { d.SetComPortPollingDelay(500); }, -1, 2048, -1}),
    [](const auto& row) { return std::string(row.param.name); });

struct PacketTimeCase {
  TComPortBaudRate speed;
  std::int32_t size;
  std::uint32_t ms;
};
class PacketTimeTable : public ::testing::TestWithParam<PacketTimeCase> {};
TEST_P(PacketTimeTable, RoundsHalfToEven) {
  EXPECT_EQ(TSerialPortDriver::PacketTime(GetParam().speed, GetParam().size), GetParam().ms);
}
INSTANTIATE_TEST_SUITE_P(Serial, PacketTimeTable,
                         ::testing::Values(PacketTimeCase{br115200, 1024, 89}, PacketTimeCase{br115200, 64, 6},
                                           PacketTimeCase{br2400, 3, 12},   // 12.5 goes down to the even 12
                                           PacketTimeCase{br2400, 9, 38},   // 37.5 goes up to the even 38
                                           PacketTimeCase{br110, 1, 91},    // 90.9...
                                           PacketTimeCase{br9600, 0, 0},
                                           PacketTimeCase{br56000, 7, 1},    // 1.25
                                           PacketTimeCase{TComPortBaudRate(13), 1152, 100}),  // out of range: 115200
                         [](const auto& row) {
                           const PacketTimeCase& c = row.param;
                           const std::string speed = c.speed <= br115200 ? std::to_string(TSerialPortDriver::BaudRateValue(c.speed))
                                                                         : "OutOfRange";
                           return speed + "Baud_" + std::to_string(c.size) + "Bytes";
                         });

struct XonCase {
  std::uint16_t inBuf;
  const char* platform;
  std::uint32_t version;
  std::uint32_t limit;
};
class XonXoffTable : public ::testing::TestWithParam<XonCase> {};
TEST_P(XonXoffTable, QuarterCappedOnlyOnNt4) {
  const auto& c = GetParam();
  EXPECT_EQ(TSerialPortDriver::XonXoffLimit(c.inBuf, c.platform, c.version), c.limit);
}
INSTANTIATE_TEST_SUITE_P(Serial, XonXoffTable,
                         ::testing::Values(XonCase{20000, "WNT", 0x40000, 4096}, XonCase{20000, "WNT", 0x50001, 4096},
                                           XonCase{20000, "WNT", 0x3FFFF, 5000}, XonCase{20000, "W95", 0x40000, 5000},
                                           XonCase{20000, "Linux", 0x60001, 5000}, XonCase{2048, "WNT", 0x40000, 512},
                                           XonCase{2047, "Linux", 0, 511}),
                         [](const auto& row) {
                           const XonCase& c = row.param;
                           return std::to_string(c.inBuf) + "Bytes_" + c.platform + "_Version" + HexName(c.version);
                         });

// The component maps a port's number to the on-board UART and nothing more:
// a device elsewhere is the program's choice ($COM1 among its sources),
// handed over by name.
TEST(SerialSettings, PortNumberMapsToTheOnBoardUartUnlessADeviceIsNamed) {
  setenv("COM16", "/dev/ttyUSB3", 1);
  TSerialPortDriver drv;
  drv.SetComPort(pnCOM16);
  EXPECT_EQ(drv.Device(), "/dev/ttyS15") << "$COM16 is no second chooser";
  EXPECT_EQ(TSerialPortDriver::DevicePath(pnCOM1), "/dev/ttyS0");
  drv.SetComPortDevice("/dev/ttyUSB0");
  EXPECT_EQ(drv.Device(), "/dev/ttyUSB0");
  unsetenv("COM16");
}

// DTR and RTS up, no flow control: what the console's port asks of the
// driver. A pty shows neither line, so the request itself is looked at; the
// driver rig reads the lines in a guest.
struct LinesCase {
  const char* name;
  std::function<void(TSerialPortDriver&)> steps;
  bool dtr;
  serial_platform::RtsMode rts;
};

class AskedLines : public ::testing::TestWithParam<LinesCase> {};

TEST_P(AskedLines, AreWhatThePropertiesSay) {
  TSerialPortDriver drv;
  GetParam().steps(drv);
  serial_platform::LineSettings s;
  drv.AskedSettings(s);
  EXPECT_EQ(s.dtr, GetParam().dtr);
  EXPECT_EQ(s.rts, GetParam().rts);
  EXPECT_EQ(s.baud, 115200u);
  EXPECT_FALSE(s.xonXoff);
}

INSTANTIATE_TEST_SUITE_P(
    Serial, AskedLines,
    ::testing::Values(LinesCase{"ConsolesPort", [](TSerialPortDriver& d) { d.SetComPortSpeed(br115200); }, true,
                                serial_platform::RtsMode::High},
                      LinesCase{"NoHandshakeLeavesRtsLow", [](TSerialPortDriver& d) { d.SetComPortHwHandshaking(hhNONE); },
                                true, serial_platform::RtsMode::Low},
                      LinesCase{"DtrNotRaisedWhenTold", [](TSerialPortDriver& d) { d.SetEnableDTROnOpen(false); }, false,
                                serial_platform::RtsMode::High}),
    [](const auto& row) { return std::string(row.param.name); });

}  // namespace
