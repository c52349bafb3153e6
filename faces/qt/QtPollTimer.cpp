#include "QtPollTimer.h"

#include <limits>

TQtPollTimer::TQtPollTimer() {
  // A coarse timer may fire up to 5 % early or late (0.95..1.05 s for the
  // probe); a precise one keeps to the millisecond for the same wake-ups.
  FTimer.setTimerType(Qt::PreciseTimer);
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
}

void TQtPollTimer::Start(std::uint32_t intervalMs) {
  FTimer.start(int(std::min<std::uint32_t>(intervalMs, std::numeric_limits<int>::max())));
}
