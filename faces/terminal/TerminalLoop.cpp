#include "TerminalLoop.h"

#include <algorithm>
#include <climits>

#include "TerminalPlatform.h"

namespace {
using Clock = std::chrono::steady_clock;
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
  terminal_platform::CatchInterrupts();
  terminal_platform::AskForShortSlices();
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

const char* TTerminalLoop::InterruptName(bool terminate) { return terminal_platform::InterruptName(terminate); }
bool TTerminalLoop::InputIsTerminal() { return terminal_platform::InputIsTerminal(); }
bool TTerminalLoop::ErrorIsTerminal() { return terminal_platform::ErrorIsTerminal(); }
long TTerminalLoop::ReadInput(char* buffer, std::size_t size) { return terminal_platform::ReadInput(buffer, size); }
void TTerminalLoop::EchoInput(bool on) { terminal_platform::EchoInput(on); }

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
  const terminal_platform::TWoke woke = terminal_platform::Wait(waitMs, FWatchingInput);
  if (woke.Interrupts > 0) {
    for (int i = 0; i < woke.Interrupts; ++i)
      if (OnInterrupt) OnInterrupt(woke.Terminate);
    return;
  }
  if (woke.Input && FWatchingInput && FOnInput) {
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
