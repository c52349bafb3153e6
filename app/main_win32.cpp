// The downloader's entry on Windows: the command line, its one window and the
// message loop. The program ends when the window closes; its exit status says
// how the run's download ended, as on Linux: 0 succeeded, 1 failed or
// stopped, 2 no receiver was reached.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <exception>
#include <optional>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "DescriptionCheck.h"
#include "DialogTexts.h"
#include "MainFrm.h"
#include "PortChoice.h"
#include "Win32Output.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  TCommandLine cl;
  std::string error;
  if (!ParseCommandLine(Arguments(), cl, error) || !cl.Rest.empty() || cl.Console) {
    if (error.empty())
      error = cl.Console ? "--console: the terminal face is stb-downloader-cli.exe"
                         : "unknown option \"" + cl.Rest.front() + "\"";
    Tell("stb-downloader: " + error + "\nTry --help.\n", true, kApplicationName);
    return kExitNoDownload;
  }
  if (const auto info = InfoText(cl)) {
    Tell(*info, false, kApplicationName);
    return kExitSuccess;
  }
  if (cl.Check) {
    std::string text;
    const int status = RunDescriptionChecks(cl.CheckMode, text);
    Tell(text, status != kExitSuccess, kApplicationName);
    return status;
  }
  try {
    const auto memory = UserPortMemory();
    const TPortChoice port =
        ChoosePort(cl.Port.empty() ? std::nullopt : std::optional(cl.Port), ProcessEnvironment, *memory);
    TForm1 Form1(port.Device, cl.Trace);
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
