// stb-bench.exe: the bench's entry on Windows. The ports from the command
// line (or every port the system lists), the window, the message loop. The
// exit status: 0 every box passed, 1 a box failed, 2 no box was reached; a
// bench started from a script or a command prompt leaves its totals on the
// output it was given.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "PortList.h"
#include "Win32BenchWindow.h"
#include "Win32Output.h"

namespace {

constexpr const char* kTitle = "stb-bench";

const char* const kUsage = R"(Usage: stb-bench.exe [--port COMn]... [--continuous] [--address-mismatch stop|continue]
Flashes boxes on several serial ports at once: one row per port, each served
by its own `stb-downloader-cli.exe --json` process. Start it in the folder
that holds inc\*.inc and type the download mode's keyword into the window
(it is not displayed): it chooses the mode for every port.

Options:
  --port COMn     a port of the bench, once per port; without any, every
                  port the system lists (stb-downloader.exe --list-ports)
  --continuous    a row that finished starts again at once and waits for
                  the next box on its port (also a check box in the window)
  --address-mismatch stop|continue
                  the stations' answer to the download address question
                  (default: stop, nothing is written to such a box)
  --help          this text
  --version       the version

Every box gets its line in the download record, as with stb-downloader.
Exit status: 0 every box passed, 1 a box failed, 2 no box was reached.
)";

// The stb-downloader-cli.exe installed beside this program.
std::string StationProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  path += L"stb-downloader-cli.exe";
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), int(path.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(std::size_t(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), int(path.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  TWin32BenchOptions options;
  const std::vector<std::string> args = Arguments();
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      Tell(kUsage, false, kTitle);
      return 0;
    }
    if (arg == "--version") {
      Tell("stb-bench " STB_VERSION "\n", false, kTitle);
      return 0;
    }
    if (arg == "--continuous") {
      options.Continuous = true;
    } else if ((arg == "--port" || arg == "--address-mismatch") && i + 1 < args.size() && !args[i + 1].empty()) {
      const std::string& value = args[++i];
      if (arg == "--port") {
        options.Ports.push_back(value);
      } else if (value == "stop" || value == "continue") {
        options.ContinueOnAddressMismatch = value == "continue";
      } else {
        Tell("stb-bench: --address-mismatch: stop or continue\n", true, kTitle);
        return 2;
      }
    } else if (arg == "--port" || arg == "--address-mismatch") {
      Tell("stb-bench: " + arg + ": needs a value\nTry --help.\n", true, kTitle);
      return 2;
    } else {
      Tell("stb-bench: unknown option \"" + arg + "\"\nTry --help.\n", true, kTitle);
      return 2;
    }
  }
  if (options.Ports.empty())
    for (const TSerialDevice& device : SerialDevices()) options.Ports.push_back(device.Path);
  if (options.Ports.empty()) {
    Tell("stb-bench: no serial ports: give each with --port COMn\n", true, kTitle);
    return 2;
  }
  options.StationProgram = StationProgram();
  try {
    int status = 2;
    std::string totals;
    {
      TWin32BenchWindow bench(options);
      if (bench.Handle == nullptr) return 2;
      bench.Show();
      MSG msg;
      while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
      }
      status = bench.ExitStatus();
      totals = bench.TotalsText();
    }
    TellInherited(totals + "\n");
    return status;
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, e.what(), kTitle, MB_OK | MB_ICONERROR);
    return 2;
  }
}
