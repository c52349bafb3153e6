// One open file descriptor, closed on every way out of whoever holds it.
#pragma once

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <string>
#include <utility>

class TFileHandle {
public:
  // Opens an existing file for reading only; an invalid handle when it cannot
  // be opened, errno telling why. Non-blocking, so that a FIFO named as a file
  // cannot freeze the window in the open.
  static TFileHandle OpenForReading(const std::string& path) {
#ifdef _WIN32
    return TFileHandle(::open(path.c_str(), O_RDONLY | O_BINARY));
#else
    return TFileHandle(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
#endif
  }

  explicit TFileHandle(int fd = -1) : FFd(fd) {}
  TFileHandle(TFileHandle&& other) noexcept : FFd(std::exchange(other.FFd, -1)) {}
  TFileHandle& operator=(TFileHandle&& other) noexcept {
    if (this != &other) {
      Close();
      FFd = std::exchange(other.FFd, -1);
    }
    return *this;
  }
  TFileHandle(const TFileHandle&) = delete;
  TFileHandle& operator=(const TFileHandle&) = delete;
  ~TFileHandle() { Close(); }

  bool IsOpen() const { return FFd >= 0; }
  int Fd() const { return FFd; }

private:
  void Close() {
    if (FFd >= 0) ::close(FFd);
    FFd = -1;
  }

  int FFd;
};
