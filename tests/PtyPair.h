// A kernel pseudo-terminal pair for tests: the far end is held by the test,
// the near end's path is what the serial component opens.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FarEnd.h"

class PtyPair {
public:
  PtyPair();   // opens the pair; the far end non-blocking and raw
  ~PtyPair();
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  const std::string& NearPath() const { return FNearPath; }
  int FarFd() const { return FFar; }

  // Writes all bytes to the far end (the near end reads them).
  void Write(const std::vector<std::uint8_t>& bytes);
  void Write(const std::string& text);
  // Reads what has reached the far end, waiting up to timeoutMs for at least
  // `want` bytes in all.
  std::vector<std::uint8_t> Read(std::size_t want, int timeoutMs);
  // Drops everything waiting at the far end.
  void Drain();
  // Closes the far end: the near end sees a hang-up.
  void HangUp();
  // The near end's settings, read through the far end.
  FarView View() const;

private:
  int FFar = -1;
  int FKeep = -1;  // a near-end descriptor kept open so the far end never reads EIO
  std::string FNearPath;
};
