// The loop of a face without a window toolkit: the probe timer and the
// receive poll tick from here, standard input is watched for the keyword,
// and an interrupt (SIGINT/SIGTERM, Ctrl+C, a console closed) arrives as an
// event instead of killing the program. It sleeps until the next timer is
// due, input comes or an interrupt does, so an idle face costs nothing. One
// source file per system, as the serial layer has.
#pragma once

#include <chrono>
#include <cstddef>
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

  // Called with each interrupt, from the loop, never from the handler; true
  // for a request to end rather than Ctrl+C.
  std::function<void(bool terminate)> OnInterrupt;
  static const char* InterruptName(bool terminate);
  // Called when standard input has bytes (or is at its end).
  void WatchInput(std::function<void()> onReadable);
  void StopWatchingInput();

  // Standard input and error as this system tells them.
  static bool InputIsTerminal();
  static bool ErrorIsTerminal();
  // What standard input holds now that it is readable, at most `size`
  // bytes: 0 at its end.
  long ReadInput(char* buffer, std::size_t size);
  // The terminal's echo of what is typed, off for the keyword and back on.
  static void EchoInput(bool on);

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

  std::vector<TLoopTimer*> FTimers;
  bool FWatchingInput = false;
  std::function<void()> FOnInput;
  bool FQuit = false;
};
