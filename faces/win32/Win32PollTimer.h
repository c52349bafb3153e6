// The Win32 side of the core's poll timer: SetTimer on a hidden message-only
// window, whose WM_TIMER messages reach the tick handler through the GUI
// thread's message loop. The system keeps at most one tick pending.
#pragma once

#include "PollTimer.h"

struct HWND__;

class TWin32PollTimer : public TPollTimer {
public:
  TWin32PollTimer();
  ~TWin32PollTimer() override;
  TWin32PollTimer(const TWin32PollTimer&) = delete;
  TWin32PollTimer& operator=(const TWin32PollTimer&) = delete;

  void Start(std::uint32_t intervalMs) override;
  void Stop() override;
  bool Active() const override { return FActive; }
  std::uint32_t Interval() const override { return FInterval; }

  // Called by the poll window's procedure.
  void OnTimerMessage() { Tick(); }

private:
  HWND__* FPollWindow = nullptr;
  std::uint32_t FInterval = 0;
  bool FActive = false;
};
