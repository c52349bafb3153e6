// Windows opens a COM port for one program alone and refuses everyone else,
// which names no holder: there is nothing more to find, and no lock files.
#include "PortHolders.h"

TPortHolder OpenElsewhere(const std::string&) { return {}; }

std::filesystem::path LockFolder() { return {}; }

std::filesystem::path LockFileOf(const std::string&, const std::filesystem::path&) { return {}; }

TPortHolder LockHolder(const std::string&) { return {}; }

TPortHolder TPortLock::Take(const std::string&) { return {}; }

void TPortLock::Release() { FFile.clear(); }
