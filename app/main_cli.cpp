// stb-downloader-cli: the terminal face as a program of its own, linking no
// window toolkit, so that a headless jig or a bench station loads only the
// core. On Windows a console program, so that a command prompt, a batch file
// or a script waits for it and gets its exit status: 0 succeeded, 1 failed or
// stopped, 2 no download.
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DownloadRecord.h"
#include "TerminalMain.h"

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
  return RunTerminal(cl);
}
