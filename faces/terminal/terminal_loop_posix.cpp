// The terminal face's system calls on Linux: SIGINT and SIGTERM through a
// self-pipe, poll() on it and on standard input, termios for the echo.
#include "TerminalPlatform.h"

#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "SignalPipe.h"

namespace terminal_platform {
namespace {

// Where SIGINT and SIGTERM arrive; -1 until they are caught (poll skips it).
int SignalPipe = -1;

}  // namespace

// The scheduler's record for sched_setattr, which glibc does not declare.
struct SchedAttr {
  std::uint32_t size, policy;
  std::uint64_t flags;
  std::int32_t nice;
  std::uint32_t priority;
  std::uint64_t runtime, deadline, period;
};

// The exchange sleeps between blocks and must answer the receiver at once
// when it wakes, even on a machine whose processors are all busy: a short
// slice (honoured by the kernel's EEVDF scheduler since 6.6, open to every
// user, no higher priority) lets a waking task run before the others' long
// slices are over. A kernel that does not know it keeps its default.
void AskForShortSlices() {
  SchedAttr a{};
  a.size = sizeof a;
  a.runtime = 100000;  // ns
  [[maybe_unused]] long r = ::syscall(SYS_sched_setattr, 0, &a, 0);
}

void CatchInterrupts() { SignalPipe = signal_pipe::CatchCloseSignals(); }

TWoke Wait(int waitMs, bool watchInput) {
  TWoke woke;
  pollfd fds[2] = {{SignalPipe, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
  const int n = ::poll(fds, watchInput ? 2 : 1, waitMs);
  if (n <= 0) return woke;
  if ((fds[0].revents & POLLIN) != 0) {
    int last = 0;
    woke.Interrupts = signal_pipe::TakeSignals(&last);
    woke.Terminate = last == SIGTERM;
  }
  woke.Input = watchInput && (fds[1].revents & (POLLIN | POLLHUP | POLLERR)) != 0;
  return woke;
}

const char* InterruptName(bool terminate) { return terminate ? "terminated (SIGTERM)" : "interrupted (Ctrl-C)"; }

bool InputIsTerminal() { return ::isatty(STDIN_FILENO) != 0; }
bool ErrorIsTerminal() { return ::isatty(STDERR_FILENO) != 0; }

long ReadInput(char* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, buffer, size);
    if (n < 0 && errno == EINTR) continue;
    return n < 0 ? 0 : long(n);
  }
}

// Echo off as a password prompt has it: the line is still edited and ended
// with Enter, and the Enter itself still shows.
void EchoInput(bool on) {
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

}  // namespace terminal_platform
