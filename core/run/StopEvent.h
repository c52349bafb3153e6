// The event another program sets to stop stb-downloader-cli.exe as Ctrl+Break
// would: named for the station's process, so that whoever started it (the
// bench) can make it before the station runs and keep it. A console control
// event reaches only programs on the same console, and a station has a
// hidden console of its own.
#pragma once

#include <string>

inline std::string StopEventName(unsigned long processId) {
  return "Local\\stb-downloader-stop-" + std::to_string(processId);
}
