#include "SignalPipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace signal_pipe {
namespace {

int Pipe[2] = {-1, -1};

void OnCloseSignal(int signal) {
  const int saved = errno;
  const char b = char(signal);
  [[maybe_unused]] ssize_t n = ::write(Pipe[1], &b, 1);
  errno = saved;
}

}  // namespace

int CatchCloseSignals() {
  if (Pipe[0] < 0 && ::pipe2(Pipe, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
  struct sigaction sa {};
  sa.sa_handler = OnCloseSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  return Pipe[0];
}

int TakeSignals(int* last) {
  if (Pipe[0] < 0) return 0;
  int taken = 0;
  char bytes[16];
  for (ssize_t got; (got = ::read(Pipe[0], bytes, sizeof bytes)) > 0;) {
    taken += int(got);
    if (last != nullptr) *last = bytes[got - 1];
  }
  return taken;
}

}  // namespace signal_pipe
