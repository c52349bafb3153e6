// The port remembered from the last --port that opened, so that a start with
// no port named (the menu entry, the Start-menu entry, a shortcut) finds the
// adapter. One store per system, in the place earlier versions kept it, so
// that a port remembered by them is still found.
#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

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
