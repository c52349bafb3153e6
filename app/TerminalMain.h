// The terminal face's program once its command line is read, the same for
// stb-downloader --console and stb-downloader-cli on every system: --check,
// or one download.
#pragma once

#include "CommandLine.h"

// The program's exit status.
int RunTerminal(const TCommandLine& cl);
