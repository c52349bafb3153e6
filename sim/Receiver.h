// The simulated set-top box: the receiver's side of the download protocol,
// on a pseudo-terminal or a real serial port, on its own thread.
#pragma once

#include "Config.h"
#include "Summary.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace stbsim {

class Receiver {
public:
  explicit Receiver(Config cfg);
  ~Receiver();  // stops the thread, closes everything
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  // Creates a pty pair; the console's end is raw and kept open by us, so the
  // console may open and close it as it likes.
  bool OpenPty(std::string* error = nullptr);
  // A real serial port, 115200 8N1 raw (Config::Baud when it is a standard rate).
  bool OpenDevice(const std::string& path, std::string* error = nullptr);
  // The device the console should open (the pty's slave path, or the port).
  std::string ConsolePath() const;

  void Start();  // runs the receiver on its own thread
  void Stop();
  bool WaitFinished(int timeoutMs);  // true once Done, Failed or HungUp
  // True once stage s is reached while the download is still on; false when
  // it ended first or timeoutMs passed. Wakes when the stage changes, so a
  // watcher costs the line nothing.
  bool WaitReached(Stage s, int timeoutMs);
  Summary GetSummary() const;        // thread-safe snapshot
  // The image as written to simulated flash (BlockCount*1024 bytes, zero padded as received).
  std::vector<std::uint8_t> Flash() const;

  // What crossed the line, in the receiver's own words (see Line::KeepAccount):
  // noted from the call of KeepWireAccount on, which comes before Start.
  void KeepWireAccount();
  std::string WireAccount() const;

  struct Core;

private:
  std::unique_ptr<Core> FCore;
};

}  // namespace stbsim
