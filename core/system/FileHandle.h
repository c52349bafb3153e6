// One open file descriptor, closed on every way out of whoever holds it.
#pragma once

#include <string>
#include <utility>

#include "FileAccess.h"

class TFileHandle {
public:
  // Opens an existing file for reading only; an invalid handle when it cannot
  // be opened, errno telling why. See file_access::OpenForReading.
  static TFileHandle OpenForReading(const std::string& path) {
    return TFileHandle(file_access::OpenForReading(path));
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
    file_access::Close(FFd);
    FFd = -1;
  }

  int FFd;
};
