#include "CloseSignals.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace {

int SignalPipe[2] = {-1, -1};

// A signal handler may do next to nothing: one byte into the pipe, which the
// event loop picks up.
void OnCloseSignal(int) {
  const int saved = errno;
  const char b = 1;
  [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

std::unique_ptr<QSocketNotifier> CatchCloseSignals(std::function<void()> onSignal) {
  if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return nullptr;
  auto notifier = std::make_unique<QSocketNotifier>(SignalPipe[0], QSocketNotifier::Read);
  QObject::connect(notifier.get(), &QSocketNotifier::activated, [onSignal = std::move(onSignal)] {
    char drain[16];
    while (::read(SignalPipe[0], drain, sizeof drain) > 0) {
    }
    onSignal();
  });
  struct sigaction sa {};
  sa.sa_handler = OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  return notifier;
}
