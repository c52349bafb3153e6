// The driver rig's small helper, used on both sides of the guest:
//   now                         the monotonic clock in ms (one clock for every stamp)
//   stamp                       copies standard input, each line led by the clock in ms
//   await-gone PATH MS          waits until the device behind PATH hangs up or
//                               its node is gone; prints "armed MS" once it
//                               watches, then "MS hangup" or "MS gone"
//   await-there PATH MS         waits until PATH is there; prints when, in ms
//   modem PATH [PID]            the modem lines the driver holds for PATH (TIOCMGET);
//                               with PID, read through that process's own
//                               descriptor, without opening PATH
//   await-sent PATH N MS        waits until the driver has sent N bytes on PATH
//                               since it was made (TIOCGICOUNT); prints when, in ms
//   await-progress FILE BYTES MS
//                               waits until FILE (a program's --json output)
//                               reports BYTES sent; prints the bytes it saw.
//                               Fails when the program's result comes first
//   qmp SOCKET [--event NAME] [--timeout MS] COMMAND...
//                               sends each JSON command to QEMU's monitor; with
//                               --event, also waits for that event
// Exit status 0 when it did what was asked, 1 when not (time-out, error
// reply), 2 for a wrong call.
#include <fcntl.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <termios.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <iostream>
#include <string>
#include <vector>

namespace {

long long NowMs() {
  timespec ts{};
  ::clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polled every 5 ms: devtmpfs gives no notice a shell could wait on, and no
// scenario times a device's coming.
int AwaitPath(const char* path, long long timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    struct stat st{};
    const bool there = ::stat(path, &st) == 0;
    const long long now = NowMs();
    if (there) {
      std::printf("%lld\n", now);
      return 0;
    }
    if (now >= end) return 1;
    timespec pause{0, 5000000};
    ::nanosleep(&pause, nullptr);
  }
}

// A device pulled out hangs its tty up before its node goes: an open
// descriptor hears the hang-up at once, so that is the moment it vanished.
// The descriptor takes no lock and changes no setting.
int AwaitGone(const char* path, long long timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  std::printf("armed %lld%s\n", NowMs(), fd < 0 ? " (node only)" : "");
  std::fflush(stdout);
  int rc = 1;
  for (;;) {
    const long long now = NowMs();
    if (fd >= 0) {
      // A hang-up ends the wait at once; the node is looked at ten times a
      // second. Fewer wake-ups: under TCG each one costs the guest's other lane.
      pollfd p{fd, 0, 0};
      if (::poll(&p, 1, 100) > 0 && (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
        std::printf("%lld hangup\n", NowMs());
        rc = 0;
        break;
      }
    }
    struct stat st{};
    if (::stat(path, &st) != 0) {
      std::printf("%lld gone\n", NowMs());
      rc = 0;
      break;
    }
    if (now >= end) break;
    if (fd < 0) {
      timespec pause{0, 1000000};
      ::nanosleep(&pause, nullptr);
    }
  }
  if (fd >= 0) ::close(fd);
  return rc;
}

int Stamp() {
  std::string line;
  while (std::getline(std::cin, line)) {
    std::printf("%lld %s\n", NowMs(), line.c_str());
    std::fflush(stdout);
  }
  return 0;
}

// The descriptor process `pid` holds on `path`, taken over as a copy
// (pidfd_getfd): no open of the device, so no line is touched. Every open
// of a tty raises DTR and RTS, which would hide a program that lowered them.
int HeldDescriptor(const char* path, long pid) {
  char want[PATH_MAX];
  if (::realpath(path, want) == nullptr) return -1;
  const std::string dir = "/proc/" + std::to_string(pid) + "/fd/";
  const int pidfd = static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
  if (pidfd < 0) return -1;
  int copy = -1;
  for (int n = 0; n < 256 && copy < 0; ++n) {
    char target[PATH_MAX];
    const ssize_t len = ::readlink((dir + std::to_string(n)).c_str(), target, sizeof target - 1);
    if (len <= 0) continue;
    target[len] = '\0';
    if (std::strcmp(target, want) == 0) copy = static_cast<int>(::syscall(SYS_pidfd_getfd, pidfd, n, 0));
  }
  ::close(pidfd);
  return copy;
}

// The modem lines the driver holds for PATH (TIOCMGET), through the holder's
// own descriptor when PID is given, else through an open of PATH.
int Modem(const char* path, long pid) {
  // No lock and no settings: this only looks at what the holder of the port set.
  const int fd = pid > 0 ? HeldDescriptor(path, pid) : ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    std::fprintf(stderr, "%s: %s\n", path, pid > 0 ? "not held by that process" : std::strerror(errno));
    return 1;
  }
  int bits = 0;
  const int rc = ::ioctl(fd, TIOCMGET, &bits);
  const int err = errno;
  ::close(fd);
  if (rc != 0) {
    std::fprintf(stderr, "%s: TIOCMGET: %s\n", path, std::strerror(err));
    return 1;
  }
  std::printf("dtr=%d rts=%d cts=%d dsr=%d cd=%d\n", (bits & TIOCM_DTR) != 0, (bits & TIOCM_RTS) != 0,
              (bits & TIOCM_CTS) != 0, (bits & TIOCM_DSR) != 0, (bits & TIOCM_CD) != 0);
  return 0;
}

// The driver's own count of bytes sent: a probe on the line shows here even
// where no other program may read the port.
int AwaitSent(const char* path, long long bytes, long long timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  for (;;) {
    const int fd = ::open(path, O_RDONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    serial_icounter_struct count{};
    const bool got = fd >= 0 && ::ioctl(fd, TIOCGICOUNT, &count) == 0;
    if (fd >= 0) ::close(fd);
    const long long now = NowMs();
    if (got && count.tx >= bytes) {
      std::printf("%lld\n", now);
      return 0;
    }
    if (now >= end) {
      std::fprintf(stderr, "%s: %d bytes sent, not %lld\n", path, got ? count.tx : -1, bytes);
      return 1;
    }
    timespec pause{0, 20000000};
    ::nanosleep(&pause, nullptr);
  }
}

// The bytes of the last download progress event in `text`, or -1.
long long LastProgress(const std::string& text) {
  static const std::string kKey = "\"phase\":\"download\",\"percent\":";
  const std::size_t at = text.rfind(kKey);
  if (at == std::string::npos) return -1;
  const std::size_t bytes = text.find("\"bytes\":", at + kKey.size());
  if (bytes == std::string::npos) return -1;
  return std::atoll(text.c_str() + bytes + 8);
}

// Reads only what was added since the last look: in the guest a look that
// starts processes, as a shell loop does, costs more than the program it watches.
int AwaitProgress(const char* path, long long bytes, long long timeoutMs) {
  const long long end = NowMs() + timeoutMs;
  std::string pending;
  off_t offset = 0;
  for (;;) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
      char buf[65536];
      ssize_t n;
      while ((n = ::pread(fd, buf, sizeof buf, offset)) > 0) {
        offset += n;
        pending.append(buf, static_cast<std::size_t>(n));
      }
      ::close(fd);
    }
    // Whole lines only; a line half written is read again next time.
    const std::size_t last = pending.rfind('\n');
    if (last != std::string::npos) {
      const std::string lines = pending.substr(0, last + 1);
      pending.erase(0, last + 1);
      if (const long long seen = LastProgress(lines); seen >= bytes) {
        std::printf("%lld\n", seen);
        return 0;
      }
      if (lines.find("\"event\":\"result\"") != std::string::npos) return 1;
    }
    if (NowMs() >= end) return 1;
    timespec pause{0, 10000000};
    ::nanosleep(&pause, nullptr);
  }
}

class Monitor {
public:
  explicit Monitor(int fd) : FFd(fd) {}
  ~Monitor() { ::close(FFd); }
  Monitor(const Monitor&) = delete;
  Monitor& operator=(const Monitor&) = delete;

  bool Send(const std::string& json) {
    const std::string out = json + "\n";
    std::size_t done = 0;
    while (done < out.size()) {
      const ssize_t n = ::write(FFd, out.data() + done, out.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  // One line from the monitor, or false at the deadline or on a closed socket.
  bool Line(std::string& line, long long deadline) {
    for (;;) {
      if (auto nl = FBuffer.find('\n'); nl != std::string::npos) {
        line = FBuffer.substr(0, nl);
        FBuffer.erase(0, nl + 1);
        return true;
      }
      const long long left = deadline - NowMs();
      if (left <= 0) return false;
      pollfd p{FFd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(FFd, buf, sizeof buf);
      if (n <= 0) return false;
      FBuffer.append(buf, static_cast<std::size_t>(n));
    }
  }

private:
  int FFd;
  std::string FBuffer;
};

bool IsEvent(const std::string& line, const std::string& name) {
  return line.find("\"event\"") != std::string::npos &&
         (name.empty() || line.find("\"" + name + "\"") != std::string::npos);
}

int Qmp(const std::vector<std::string>& args) {
  if (args.empty()) return 2;
  std::string event;
  long long timeoutMs = 10000;
  std::vector<std::string> commands;
  for (std::size_t i = 1; i < args.size(); ++i) {
    if (args[i] == "--event" && i + 1 < args.size()) event = args[++i];
    else if (args[i] == "--timeout" && i + 1 < args.size()) timeoutMs = std::stoll(args[++i]);
    else commands.push_back(args[i]);
  }
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  if (args[0].size() >= sizeof addr.sun_path) return 2;
  std::strcpy(addr.sun_path, args[0].c_str());
  const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    std::fprintf(stderr, "qmp: %s: %s\n", args[0].c_str(), std::strerror(errno));
    if (fd >= 0) ::close(fd);
    return 1;
  }
  Monitor monitor(fd);
  const long long deadline = NowMs() + timeoutMs;
  std::string line;
  bool sawEvent = false;
  // The greeting, then capabilities: the monitor takes no command before.
  if (!monitor.Line(line, deadline)) return 1;
  commands.insert(commands.begin(), R"({"execute":"qmp_capabilities"})");
  for (const auto& command : commands) {
    if (!monitor.Send(command)) return 1;
    for (;;) {
      if (!monitor.Line(line, deadline)) {
        std::fprintf(stderr, "qmp: no reply to %s\n", command.c_str());
        return 1;
      }
      if (IsEvent(line, "")) {
        if (!event.empty() && IsEvent(line, event)) sawEvent = true;
        std::fprintf(stderr, "%s\n", line.c_str());
        continue;
      }
      std::printf("%s\n", line.c_str());
      if (line.find("\"error\"") != std::string::npos) return 1;
      break;
    }
  }
  // An unplug's event may come before or after its reply.
  while (!event.empty() && !sawEvent) {
    if (!monitor.Line(line, deadline)) {
      std::fprintf(stderr, "qmp: no %s event\n", event.c_str());
      return 1;
    }
    if (IsEvent(line, event)) sawEvent = true;
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  const std::string what = args.empty() ? "" : args[0];
  try {
    if (what == "now" && args.size() == 1) {
      std::printf("%lld\n", NowMs());
      return 0;
    }
    if (what == "stamp" && args.size() == 1) return Stamp();
    if (what == "await-there" && args.size() == 3) return AwaitPath(args[1].c_str(), std::stoll(args[2]));
    if (what == "await-gone" && args.size() == 3) return AwaitGone(args[1].c_str(), std::stoll(args[2]));
    if (what == "modem" && (args.size() == 2 || args.size() == 3))
      return Modem(args[1].c_str(), args.size() == 3 ? std::stol(args[2]) : 0);
    if (what == "await-sent" && args.size() == 4)
      return AwaitSent(args[1].c_str(), std::stoll(args[2]), std::stoll(args[3]));
    if (what == "await-progress" && args.size() == 4)
      return AwaitProgress(args[1].c_str(), std::stoll(args[2]), std::stoll(args[3]));
    if (what == "qmp") return Qmp({args.begin() + 1, args.end()});
  } catch (const std::exception& e) {
    std::fprintf(stderr, "driver-rig-tool: %s\n", e.what());
    return 2;
  }
  std::fprintf(stderr,
               "usage: driver-rig-tool now | stamp | await-gone PATH MS | await-there PATH MS | modem PATH [PID] |\n"
               "       await-sent PATH BYTES MS | await-progress FILE BYTES MS |\n"
               "       qmp SOCKET [--event NAME] [--timeout MS] COMMAND...\n");
  return 2;
}
