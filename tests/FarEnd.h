// The other end of the line a platform contract test talks to.
//
// On Linux it is a pty pair held in the test's own process. A Windows test
// runs under Wine and cannot make a pty, so there it is a pty held by the far
// agent (tests/windows/far_agent.cpp), a Linux program the test steers over
// a second pty; the near end is opened through Wine's Z: drive.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// The line settings as the far end of a pty sees them. A pty keeps neither
// the frame size nor the parity-enable bit, so the parity shows only in its
// odd and stick flags.
struct FarView {
  std::uint32_t baud = 0;
  bool oddParity = false;
  bool stickParity = false;
  bool twoStopBits = false;
  bool rtsCts = false;
  bool xonXoff = false;  // both directions
  std::uint8_t xonChar = 0;
  std::uint8_t xoffChar = 0;
};

class FarEnd {
public:
  virtual ~FarEnd() = default;
  // What the platform layer is to open for the near end.
  virtual std::string NearName() const = 0;
  virtual void Write(const std::vector<std::uint8_t>& bytes) = 0;
  // Waits up to timeoutMs for `want` bytes in all; returns what came.
  virtual std::vector<std::uint8_t> Read(std::size_t want, int timeoutMs) = 0;
  virtual void Drain() = 0;
  // Closes the far end: the near end loses its device.
  virtual void HangUp() = 0;
  virtual FarView View() = 0;
};

// A fresh line for one test.
std::unique_ptr<FarEnd> MakeFarEnd();
