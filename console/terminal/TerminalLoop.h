// The loop of a face without a window toolkit: the probe timer and the
// receive poll tick from here, standard input is watched for the keyword,
// and SIGINT/SIGTERM arrive as an event instead of killing the program. It
// sleeps in one poll() until the next timer is due, a line of input comes or
// a signal does, so an idle face costs nothing.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "PollTimer.h"

class TTerminalLoop {
public:
  TTerminalLoop();
  ~TTerminalLoop();
  TTerminalLoop(const TTerminalLoop&) = delete;
  TTerminalLoop& operator=(const TTerminalLoop&) = delete;

  // A timer that ticks from this loop; it may outlive the loop only stopped.
  std::unique_ptr<TPollTimer> MakeTimer();

  // Called with SIGINT or SIGTERM, from the loop, never from the handler.
  std::function<void(int signal)> OnSignal;
  // Called when `fd` is readable (or at its end); none: not watched.
  void WatchInput(int fd, std::function<void()> onReadable);
  void StopWatchingInput();

  // Runs until Quit.
  void Run();
  void Quit() { FQuit = true; }
  // Once, without sleeping: due timers and a signal that came. For the
  // download's once-per-block message handling, which must never wait.
  void RunPending();

private:
  class TLoopTimer;
  void RunOnce(bool mayWait);
  void FireDueTimers();
  bool TakeSignal();

  std::vector<TLoopTimer*> FTimers;
  int FInputFd = -1;
  std::function<void()> FOnInput;
  bool FQuit = false;
};
