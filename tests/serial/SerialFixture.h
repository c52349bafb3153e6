// A component wired to the near end of a fresh pty, as COM5.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <thread>

#include "PtyPair.h"
#include "SerialDrv.h"
#include "TestNames.h"

constexpr TComPortNumber kTestPort = pnCOM5;

// The pty moves bytes to the other side on a kernel work queue, so a byte
// written is not at once a byte waiting.
inline bool WaitForInput(TSerialPortDriver& drv, std::int32_t want, int timeoutMs = 2000) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (drv.InputCount() < want) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

inline std::chrono::milliseconds ElapsedSince(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0);
}

class SerialLine : public ::testing::Test {
protected:
  void SetUp() override {
    drv.SetComPort(kTestPort);
    drv.SetComPortDevice(pty.NearPath());
    ASSERT_TRUE(drv.Connect()) << drv.LastError();
  }

  PtyPair pty;
  TSerialPortDriver drv;
};
