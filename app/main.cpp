// The downloader's entry: the command line, the application, its one window
// and the message loop.
//
// SIGTERM and SIGINT close the window as its close button does, so that a
// session's logout or a script ends the program cleanly with the port
// released; they do not ask first. A download under way stops at its next
// block. The exit status says how the run's download ended: 0 succeeded,
// 1 failed or stopped, 2 none reached a receiver.
#include <iostream>
#include <memory>
#include <optional>

#include "AppIcon.h"
#include "CloseSignals.h"
#include "Application.h"
#include "CommandLine.h"
#include "MainFrm.h"
#include "NoDisplay.h"
#include "PortChoice.h"
#include "TerminalMain.h"

namespace {

TPortChoice ChoosePort(const TCommandLine& cl) {
  const auto memory = UserPortMemory();
  return ChoosePort(cl.Port.empty() ? std::nullopt : std::optional(cl.Port), ProcessEnvironment, *memory);
}

}  // namespace

int main(int argc, char** argv) {
  TCommandLine cl;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), cl, error)) {
    std::cerr << "stb-downloader: " << error << "\nTry --help.\n";
    return kExitNoDownload;
  }
  if (const auto info = InfoText(cl)) {
    std::cout << *info;
    return kExitSuccess;
  }
  // The terminal face and --check: no display, no application object.
  if (cl.Console || cl.Check) return RunTerminal(cl);
  if (const auto missing = MissingDisplay(cl.Rest, ProcessEnvironment)) {
    std::cerr << NoDisplayText("stb-downloader", *missing);
    return kExitNoDownload;
  }
  const TPortChoice port = ChoosePort(cl);

  // The toolkit sees only what is not ours; what it does not take either is a mistake.
  std::vector<char*> qtArgv{argv[0]};
  for (std::string& arg : cl.Rest) qtArgv.push_back(arg.data());
  qtArgv.push_back(nullptr);
  int qtArgc = int(qtArgv.size()) - 1;
  TApplication app(qtArgc, qtArgv.data());
  if (const QStringList left = TApplication::arguments(); left.size() > 1) {
    std::cerr << "stb-downloader: unknown option \"" << left[1].toStdString() << "\"\nTry --help.\n";
    return kExitNoDownload;
  }
  TApplication::setWindowIcon(AppIcon());

  bool closeAsked = false;
  TForm1* form = nullptr;
  const auto closeSignal = CatchCloseSignals([&closeAsked, &form] {
    closeAsked = true;
    if (form != nullptr) form->CloseWithoutAsking();
    // Every top-level window: a dialog open at start-up must go as well.
    QApplication::closeAllWindows();
  });

  TForm1 Form1(port.Device, cl.Trace);
  form = &Form1;
  // A device that opened is the one to use next time the tool starts with
  // neither --port nor $COM1, as the menu entry does.
  RememberIfOpened(port, Form1.PortOpen(), *UserPortMemory());
  // Asked to close while the connect error was showing, before the window was up.
  if (closeAsked) return kExitNoDownload;
  Form1.show();
  TApplication::exec();
  return ExitStatus(Form1.DownloadResult());
}
