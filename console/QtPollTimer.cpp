#include "QtPollTimer.h"

#include <limits>

TQtPollTimer::TQtPollTimer() {
  QObject::connect(&FTimer, &QTimer::timeout, [this] { Tick(); });
}

void TQtPollTimer::Start(std::uint32_t intervalMs) {
  FTimer.start(int(std::min<std::uint32_t>(intervalMs, std::numeric_limits<int>::max())));
}
