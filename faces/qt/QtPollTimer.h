// The Qt side of the core's poll timer: a QTimer whose timeouts reach the
// tick handler through the GUI thread's event loop.
#pragma once

#include <QTimer>

#include "PollTimer.h"

class TQtPollTimer : public TPollTimer {
public:
  TQtPollTimer();
  void Start(std::uint32_t intervalMs) override;
  void Stop() override { FTimer.stop(); }
  bool Active() const override { return FTimer.isActive(); }
  std::uint32_t Interval() const override { return std::uint32_t(FTimer.interval()); }

private:
  QTimer FTimer;
};
