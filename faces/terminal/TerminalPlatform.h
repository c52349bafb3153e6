// What the terminal face needs of the system it runs on: interrupts caught
// as events, one wait for them, the next timer and standard input, and the
// terminal's echo. One source file per system.
#pragma once

#include <cstddef>

namespace terminal_platform {

// From now on SIGINT/SIGTERM (Ctrl+C, a console closed) wake Wait instead of
// ending the program.
void CatchInterrupts();
// The calling thread, woken by the receiver, runs before busy neighbours do.
void AskForShortSlices();

struct TWoke {
  int Interrupts = 0;  // how many came; taken
  bool Terminate = false;  // the last was a request to end (SIGTERM, a bench's stop), not Ctrl+C
  bool Input = false;  // standard input has bytes, or is at its end
};
// Sleeps at most waitMs (-1: until woken), or until an interrupt or (when
// watchInput) standard input wakes it.
TWoke Wait(int waitMs, bool watchInput);

// How a stop by interrupt is said: "interrupted (Ctrl-C)", or the request to end.
const char* InterruptName(bool terminate);

bool InputIsTerminal();
bool ErrorIsTerminal();
// Up to `size` bytes of standard input, now that it has some: 0 at its end.
long ReadInput(char* buffer, std::size_t size);
// The echo of what is typed on the terminal: off for the keyword, then on.
void EchoInput(bool on);

}  // namespace terminal_platform
