// Command line of stb-receiver-sim.
#pragma once

#include "Config.h"

#include <string>
#include <vector>

namespace stbsim {

struct ProgramOptions {
  Config Cfg;
  std::string Link;         // symlink made to the console's end
  std::string Device;       // a real port instead of a pty
  std::string SaveFlash;    // file for the flash image
  std::string SummaryJson;  // file for the JSON summary
  std::string WireLog;      // file for every byte read and written
  bool ExitWhenDone = false;
  bool Help = false;
  bool Version = false;
};

// False with a reason for the first argument it cannot take.
bool ParseOptions(const std::vector<std::string>& args, ProgramOptions& out, std::string& error);
std::string UsageText();

}  // namespace stbsim
