// Who else may hold the port: the seam between the serial component, which
// opens the device, and the system, which knows the other programs around
// it. The component asks before its open and again after it, and gives back
// what the guard took when the port closes or the open fails.
#pragma once

#include <cstdint>
#include <string>

// Another program that has the device: a number and a name, no words.
struct TPortHolder {
  enum class TKind : std::uint8_t {
    None,      // nobody else
    Open,      // another process has the device open
    LockFile,  // another process holds the lock file terminal programs honour
  };
  TKind Kind = TKind::None;
  std::uint32_t Pid = 0;
  std::string Program;  // its command name; empty when the system does not tell
  explicit operator bool() const { return Kind != TKind::None; }
  bool operator==(const TPortHolder&) const = default;
};

class TPortGuard {
public:
  virtual ~TPortGuard() = default;
  // Before the open: the program that holds `device`, or none; with none,
  // what other programs honour (a lock file) is taken for us.
  virtual TPortHolder Claim(const std::string& device) = 0;
  // After the open: a program that opened the device in between, or none.
  virtual TPortHolder Confirm(const std::string& device) = 0;
  // Gives back what Claim took; harmless when it took nothing.
  virtual void Release() = 0;
  // The operator's words for a holder, without the device.
  virtual std::string Reason(const TPortHolder& holder) const = 0;
};
