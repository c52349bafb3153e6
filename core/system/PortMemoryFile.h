// The port memory on Linux: an INI file as QSettings writes it.
#pragma once

#include <filesystem>

#include "PortMemory.h"

// The INI file as QSettings writes it, read and written without it: its
// quoting and escapes, the other keys and sections left as they were.
class TPortMemoryFile : public TPortMemory {
public:
  explicit TPortMemoryFile(std::filesystem::path path) : FPath(std::move(path)) {}
  std::optional<std::string> Remembered() const override;
  void Remember(const std::string& port) override;

private:
  std::filesystem::path FPath;
};
