// stb-downloader-cli.exe: the terminal face on Windows. A console program, so
// that a command prompt, a batch file or a script waits for it and gets its
// exit status: 0 succeeded, 1 failed or stopped, 2 no download.
#include <exception>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DownloadRecord.h"
#include "PortChoice.h"
#include "TerminalFace.h"

int main(int argc, char** argv) {
  TCommandLine cl;
  std::string error;
  std::vector<std::string> args(argv + 1, argv + argc);
  // This program is the terminal face: --console goes without saying.
  args.insert(args.begin(), "--console");
  if (!ParseCommandLine(args, cl, error) || !cl.Rest.empty()) {
    std::cerr << "stb-downloader-cli: " << (error.empty() ? "unknown option \"" + cl.Rest.front() + "\"" : error)
              << "\nTry --help.\n";
    return kExitNoDownload;
  }
  if (const auto info = InfoText(cl)) {
    std::cout << *info;
    return kExitSuccess;
  }
  try {
    TTerminalOptions options;
    options.Port =
        ChoosePort(cl.Port.empty() ? std::nullopt : std::optional(cl.Port), ProcessEnvironment, *UserPortMemory())
            .Device;
    options.Json = cl.Json;
    options.Trace = cl.Trace;
    options.ContinueOnAddressMismatch = cl.ContinueOnAddressMismatch;
    // The remembered port is the window's: a script that names its own port
    // leaves it alone.
    TTerminalFace face(options);
    return face.Run();
  } catch (const std::exception& e) {
    std::cerr << e.what() << '\n';
    return kExitNoDownload;
  }
}
