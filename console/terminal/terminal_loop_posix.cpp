#include "TerminalLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

namespace {

using Clock = std::chrono::steady_clock;

int SignalPipe[2] = {-1, -1};

// A signal handler may do next to nothing: the signal's number into the
// pipe, which the loop reads.
void OnTerminateSignal(int signal) {
  const int saved = errno;
  const char b = char(signal);
  [[maybe_unused]] ssize_t n = ::write(SignalPipe[1], &b, 1);
  errno = saved;
}

}  // namespace

class TTerminalLoop::TLoopTimer : public TPollTimer {
public:
  explicit TLoopTimer(TTerminalLoop* loop) : FLoop(loop) { FLoop->FTimers.push_back(this); }
  ~TLoopTimer() override {
    if (FLoop != nullptr) std::erase(FLoop->FTimers, this);
  }
  void Start(std::uint32_t intervalMs) override {
    FInterval = intervalMs;
    FActive = true;
    FDue = Clock::now() + std::chrono::milliseconds(intervalMs);
  }
  void Stop() override { FActive = false; }
  bool Active() const override { return FActive; }
  std::uint32_t Interval() const override { return FInterval; }

  Clock::time_point Due() const { return FDue; }
  // A tick that comes late is not made up: the next is an interval later.
  void FireIfDue(Clock::time_point now) {
    if (!FActive || now < FDue) return;
    FDue = now + std::chrono::milliseconds(FInterval);
    Tick();
  }
  void Forget() { FLoop = nullptr; }

private:
  TTerminalLoop* FLoop;
  std::uint32_t FInterval = 0;
  bool FActive = false;
  Clock::time_point FDue;
};

TTerminalLoop::TTerminalLoop() {
  if (SignalPipe[0] < 0 && ::pipe2(SignalPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnTerminateSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

TTerminalLoop::~TTerminalLoop() {
  for (TLoopTimer* t : FTimers) t->Forget();
}

std::unique_ptr<TPollTimer> TTerminalLoop::MakeTimer() { return std::make_unique<TLoopTimer>(this); }

void TTerminalLoop::WatchInput(std::function<void()> onReadable) {
  FWatchingInput = true;
  FOnInput = std::move(onReadable);
}

void TTerminalLoop::StopWatchingInput() {
  FWatchingInput = false;
  FOnInput = nullptr;
}

bool TTerminalLoop::InputIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }
bool TTerminalLoop::ErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

long TTerminalLoop::ReadInput(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : long(n);
  }
}

// Echo off as a password prompt has it: the line is still edited and ended
// with Enter, and the Enter itself still shows.
void TTerminalLoop::EchoInput(bool on) {
  static termios saved{};
  static bool off = false;
  if (!on && !off && ::tcgetattr(STDIN_FILENO, &saved) == 0) {
    termios quiet = saved;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ICANON | ECHONL;
    off = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
  } else if (on && off) {
    ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    off = false;
  }
}

void TTerminalLoop::Run() {
  FQuit = false;
  while (!FQuit) RunOnce(true);
}

void TTerminalLoop::RunPending() { RunOnce(false); }

void TTerminalLoop::RunOnce(bool mayWait) {
  int waitMs = 0;
  if (mayWait) {
    waitMs = -1;
    const auto now = Clock::now();
    for (const TLoopTimer* t : FTimers) {
      if (!t->Active()) continue;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->Due() - now).count();
      const int ms = int(std::clamp<long long>(left, 0, INT_MAX));
      waitMs = waitMs < 0 ? ms : std::min(waitMs, ms);
    }
  }
  pollfd fds[2] = {{SignalPipe[0], POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const int n = ::poll(fds, FWatchingInput ? 2 : 1, waitMs);
  if (n > 0 && (fds[0].revents & POLLIN) != 0 && TakeInterrupt()) return;
  if (n > 0 && FWatchingInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && FOnInput) {
    // The handler may stop the watch or replace it.
    const auto onInput = FOnInput;
    onInput();
  }
  if (!FQuit) FireDueTimers();
}

void TTerminalLoop::FireDueTimers() {
  const auto now = Clock::now();
  // A tick may stop or start timers, or run a whole download: take a copy.
  const std::vector<TLoopTimer*> timers = FTimers;
  for (TLoopTimer* t : timers) {
    if (std::find(FTimers.begin(), FTimers.end(), t) == FTimers.end()) continue;
    t->FireIfDue(now);
    if (FQuit) return;
  }
}

bool TTerminalLoop::TakeInterrupt() {
  char signals[16];
  const ssize_t n = ::read(SignalPipe[0], signals, sizeof signals);
  if (n <= 0) return false;
  for (ssize_t i = 0; i < n; ++i)
    if (OnInterrupt) OnInterrupt();
  return true;
}
