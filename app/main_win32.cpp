// The downloader's entry on Windows: the command line, its one window and the
// message loop. The program ends when the window closes; its exit status says
// how the run's download ended, as on Linux: 0 succeeded, 1 failed or
// stopped, 2 no receiver was reached.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "FormLayout.h"
#include "MainFrm.h"
#include "PortChoice.h"

namespace {

// The command line as UTF-8, whatever the ANSI code page: a port or a
// folder may carry any name.
std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return args;
  for (int i = 1; i < argc; ++i) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(std::size_t(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  ::LocalFree(argv);
  return args;
}

bool WriteAll(HANDLE out, const std::string& text) {
  DWORD written = 0;
  return ::WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
}

// A window program has no console of its own. Its output sent to a file or a
// pipe goes there; started from a command prompt it writes to that prompt's
// console, as the console twin does; started from the Start menu or Explorer
// there is neither, and the text goes into a message box.
void Tell(const std::string& text, bool error = false) {
  HANDLE inherited = ::GetStdHandle(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE);
  if (inherited != nullptr && inherited != INVALID_HANDLE_VALUE && ::GetFileType(inherited) != FILE_TYPE_UNKNOWN &&
      WriteAll(inherited, text))
    return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    HANDLE out = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      // The prompt came back when the program started: begin on a line of
      // our own, with the console's CR LF.
      std::string shown = "\r\n";
      for (char c : text) {
        if (c == '\n') shown += '\r';
        shown += c;
      }
      const bool done = WriteAll(out, shown);
      ::CloseHandle(out);
      ::FreeConsole();
      if (done) return;
    } else {
      ::FreeConsole();
    }
  }
  ::MessageBoxA(nullptr, text.c_str(), kApplicationName, MB_OK | (error ? MB_ICONWARNING : MB_ICONINFORMATION));
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  TCommandLine cl;
  std::string error;
  if (!ParseCommandLine(Arguments(), cl, error) || !cl.Rest.empty() || cl.Console) {
    if (error.empty())
      error = cl.Console ? "--console: the terminal face is stb-downloader-cli.exe"
                         : "unknown option \"" + cl.Rest.front() + "\"";
    Tell("stb-downloader: " + error + "\nTry --help.\n", true);
    return kExitNoDownload;
  }
  if (const auto info = InfoText(cl)) {
    Tell(*info);
    return kExitSuccess;
  }
  try {
    const auto memory = UserPortMemory();
    const TPortChoice port =
        ChoosePort(cl.Port.empty() ? std::nullopt : std::optional(cl.Port), ProcessEnvironment, *memory);
    TForm1 Form1(port.Device);
    if (Form1.Handle == nullptr) return kExitNoDownload;
    // A port that opened is the one a start from the Start menu uses next time.
    RememberIfOpened(port, Form1.PortOpen(), *memory);
    Form1.Show();
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    return ExitStatus(Form1.DownloadResult());
  } catch (const std::exception& e) {
    ShowHandlerError(e.what());
    return ExitStatus(std::nullopt);
  }
}
