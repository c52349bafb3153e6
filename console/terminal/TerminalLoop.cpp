#include "TerminalLoop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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

void TTerminalLoop::WatchInput(int fd, std::function<void()> onReadable) {
  FInputFd = fd;
  FOnInput = std::move(onReadable);
}

void TTerminalLoop::StopWatchingInput() {
  FInputFd = -1;
  FOnInput = nullptr;
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
  pollfd fds[2] = {{SignalPipe[0], POLLIN, 0}, {FInputFd, POLLIN, 0}};
  const int n = ::poll(fds, FInputFd >= 0 ? 2 : 1, waitMs);
  if (n > 0 && (fds[0].revents & POLLIN) != 0 && TakeSignal()) return;
  if (n > 0 && FInputFd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0 && FOnInput) {
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

bool TTerminalLoop::TakeSignal() {
  char signals[16];
  const ssize_t n = ::read(SignalPipe[0], signals, sizeof signals);
  if (n <= 0) return false;
  for (ssize_t i = 0; i < n; ++i)
    if (OnSignal) OnSignal(int(static_cast<unsigned char>(signals[i])));
  return true;
}
