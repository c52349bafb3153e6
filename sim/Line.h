// The receiver's end of the serial line: one descriptor, optionally paced
// like a real 8N1 line, with a wake descriptor that interrupts every wait.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ArrivalClock.h"

namespace stbsim {

class Line {
public:
  enum class Got { Byte, Quiet, Stopped, Closed };

  Line() = default;
  ~Line();
  Line(const Line&) = delete;
  Line& operator=(const Line&) = delete;

  // Takes both descriptors; keepFd (or -1) is only held open.
  void Adopt(int fd, int keepFd);
  void SetPacing(bool paced, std::uint32_t baud);
  void SetWake(int wakeFd) { FWake = wakeFd; }
  bool IsOpen() const { return FFd >= 0; }

  // One byte, waiting at most quietMs for it (negative: for ever).
  Got Read(std::uint8_t& b, int quietMs);
  // True when a byte is waiting; takes nothing.
  bool Pending();
  // Paced sends release each byte at the end of its line time. Before every
  // byte, beforeEach (when given) may look at the line. The tail goes out in
  // the same write as the last byte, unpaced.
  bool Send(const std::vector<std::uint8_t>& bytes, const std::function<void()>& beforeEach = {},
            const std::vector<std::uint8_t>& tail = {});
  // All at once, whatever the pacing.
  bool SendBurst(const std::vector<std::uint8_t>& bytes);
  // Closes everything: the far end sees the device go away.
  void HangUp();

  // From now on, every read and write is noted in the receiver's own words:
  // one line each, "MS rx|tx HEX HEX ...", MS (to the microsecond) since
  // this call, rx for what came from the console, tx for what we sent.
  void KeepAccount();
  std::string Account() const;

  std::int64_t ByteTimeNs() const { return FByteNs; }
  // When the last Send handed its last byte over, and when the line time of
  // the last byte taken began (unpaced: when it was taken); monotonic ns.
  std::int64_t LastSendEndNs() const { return FSendEnd; }
  std::int64_t LastByteStartNs() const { return FByteStart; }

private:
  // Takes what is queued into FBuf, waiting at most quietMs for it.
  Got Fill(int quietMs);
  // Sleeps until t; while the queue is known to be empty it watches it, so
  // that a byte arriving meanwhile is dated by its arrival.
  void SleepWatching(std::int64_t t);
  std::size_t SlotsDue(std::int64_t lastDone, std::size_t most) const;
  bool WriteAll(const std::uint8_t* p, std::size_t n);
  // Waits for fd to become ready for `events`, or for the wake descriptor.
  Got WaitFor(short events, int timeoutMs);
  void Note(const char* way, const std::uint8_t* p, std::size_t n);

  int FFd = -1;
  int FKeep = -1;
  int FWake = -1;
  bool FPaced = false;
  std::int64_t FByteNs = 0;
  std::int64_t FTxDone = 0;  // when the last byte sent left the line
  ArrivalClock FRx;          // when the bytes taken have fully arrived
  bool FWatch = false;       // the last read emptied the queue and nothing has come since
  std::int64_t FSendEnd = 0;
  std::int64_t FByteStart = 0;
  std::vector<std::uint8_t> FBuf;
  std::size_t FPos = 0;
  mutable std::mutex FAccountLock;  // read by another thread than ours
  bool FAccounting = false;
  std::int64_t FAccountStart = 0;
  std::string FAccount;
};

std::int64_t MonotonicNs();
void SleepUntilNs(std::int64_t t);

}  // namespace stbsim
