// Who else holds a serial port: the processes that have its device open and
// the lock file that terminal programs (minicom, picocom, cu) honour. One
// source file per system; where the system already refuses a shared open
// (Windows), there is nothing to find and nothing to take.
#pragma once

#include <filesystem>
#include <string>

#include "PortGuard.h"

// Another process that has `device` open, as far as this user may look:
// never this process, nor the one that holds a pseudo-terminal's far end
// (that process is the line itself, not a second program on our end).
TPortHolder OpenElsewhere(const std::string& device);

// Where lock files live: $STB_LOCK_DIR when set, else /run/lock, else /var/lock.
std::filesystem::path LockFolder();
// The lock file of `device` in `folder`: LCK.. and the device's name below
// /dev with '/' as '_' (LCK..ttyUSB0, LCK..pts_3), as minicom names it.
std::filesystem::path LockFileOf(const std::string& device, const std::filesystem::path& folder);
// The live process other than this one that holds a lock file of `device`
// (minicom's name or picocom's, which differ only below /dev/pts), or none.
TPortHolder LockHolder(const std::string& device);

// Our own lock file of one device, while we have the port.
class TPortLock {
public:
  TPortLock() = default;
  ~TPortLock() { Release(); }
  TPortLock(const TPortLock&) = delete;
  TPortLock& operator=(const TPortLock&) = delete;

  // Writes the lock file with our process id, taking over one whose process
  // is gone; the holder when a live one has it. A folder this user cannot
  // write leaves the port unlocked, which is no reason to refuse it.
  TPortHolder Take(const std::string& device);
  // Removes the file if it is still ours.
  void Release();
  // The file taken; empty when none is.
  const std::filesystem::path& File() const { return FFile; }

private:
  std::filesystem::path FFile;
};
