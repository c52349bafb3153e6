// The Qt implementation of the core's poll timer, driving the serial
// component's receive poll through the real event loop.
#include <gtest/gtest.h>

#include <QTest>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <string>

#include "PtyPair.h"
#include "QtPollTimer.h"
#include "SerialDrv.h"

namespace {

TEST(QtPollTimer, TicksDeliverThroughTheEventLoop) {
  PtyPair pty;
  TSerialPortDriver drv(std::make_unique<TQtPollTimer>());
  drv.SetComPortDevice(pty.NearPath());
  drv.SetComPortPollingDelay(10);
  std::string seen;
  drv.SetOnReceiveData([&](TSerialPortDriver*, const std::uint8_t* p, std::uint32_t n) { seen.append(p, p + n); });
  ASSERT_TRUE(drv.Connect());
  EXPECT_TRUE(drv.PollTimerActive());
  pty.Write("hello");
  EXPECT_TRUE(QTest::qWaitFor([&] { return seen.size() >= 5; }, 5000));
  EXPECT_EQ(seen, "hello");
  drv.Disconnect();
  EXPECT_FALSE(drv.PollTimerActive());
}

}  // namespace
