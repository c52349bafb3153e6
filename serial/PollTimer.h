// A repeating timer whose ticks reach the thread that owns it through that
// thread's message loop: the serial component's receive poll and the window's
// probe timer both run on one. The core only speaks to this interface; each
// window toolkit brings its own implementation.
#pragma once

#include <cstdint>
#include <functional>
#include <utility>

class TPollTimer {
public:
  using TTickHandler = std::function<void()>;

  virtual ~TPollTimer() = default;
  // (Re)starts the ticks, one every intervalMs, the first one interval from now.
  virtual void Start(std::uint32_t intervalMs) = 0;
  virtual void Stop() = 0;
  virtual bool Active() const = 0;
  virtual std::uint32_t Interval() const = 0;

  void SetOnTick(TTickHandler handler) { FOnTick = std::move(handler); }

protected:
  // Called by the implementation on each tick.
  void Tick() {
    if (FOnTick) FOnTick();
  }

private:
  TTickHandler FOnTick;
};

// A timer that only ticks when told to: for a component whose owner runs no
// message loop, and for tests that step the poll themselves.
class TManualPollTimer : public TPollTimer {
public:
  void Start(std::uint32_t intervalMs) override {
    FInterval = intervalMs;
    FActive = true;
    ++FStarts;
  }
  void Stop() override { FActive = false; }
  bool Active() const override { return FActive; }
  std::uint32_t Interval() const override { return FInterval; }

  // One tick, as the message loop would deliver it; none while stopped.
  void Fire() {
    if (FActive) Tick();
  }
  // How often the timer was (re)started.
  int Starts() const { return FStarts; }

private:
  std::uint32_t FInterval = 0;
  bool FActive = false;
  int FStarts = 0;
};
