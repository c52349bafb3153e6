#include "CloseSignals.h"

#include "SignalPipe.h"

std::unique_ptr<QSocketNotifier> CatchCloseSignals(std::function<void()> onSignal) {
  const int pipe = signal_pipe::CatchCloseSignals();
  if (pipe < 0) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(pipe, QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [onSignal = std::move(onSignal)] {
    signal_pipe::TakeSignals();
    onSignal();
  });
  return notifier;
}
