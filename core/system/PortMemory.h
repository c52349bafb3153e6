// The port remembered from the last --port that opened, so that a start with
// no port named (the menu entry, the Start-menu entry, a shortcut) finds the
// adapter. One store per system, in the place earlier versions kept it, so
// that a port remembered by them is still found.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

class TPortMemory {
public:
  virtual ~TPortMemory() = default;
  // The port as it was named on the command line; none when nothing usable
  // is kept.
  virtual std::optional<std::string> Remembered() const = 0;
  // Best effort: a store that cannot be written leaves the start as it was.
  virtual void Remember(const std::string& port) = 0;
};

// This user's store on this system: on Linux the INI file
// $XDG_CONFIG_HOME/stb-downloader/stb-downloader.ini (~/.config when unset),
// key "port" of its [General] section; on Windows the registry,
// HKEY_CURRENT_USER\Software\Tarnwell\stb-downloader, value "port".
std::unique_ptr<TPortMemory> UserPortMemory();

// The ports of the last bench that was given or ticked some, in their
// order, so that the bench's menu entry brings the same bench back.
class TPortListMemory {
public:
  virtual ~TPortListMemory() = default;
  // None when nothing usable is kept.
  virtual std::vector<std::string> Remembered() const = 0;
  // Best effort, as the downloader's port.
  virtual void Remember(const std::vector<std::string>& ports) = 0;
};

// This user's store of the bench's ports: on Linux the INI file
// $XDG_CONFIG_HOME/stb-downloader/stb-bench.ini, key "ports" of its
// [General] section, a list as QSettings writes one; on Windows the
// registry, HKEY_CURRENT_USER\Software\Tarnwell\stb-bench, value "ports", one
// string a port (REG_MULTI_SZ).
std::unique_ptr<TPortListMemory> UserBenchPortMemory();
