// The bench's entry: the ports from the command line (or those of the last
// bench), the window, the loop. SIGTERM and SIGINT close the bench as its
// close button does, without the question: every station is stopped and
// waited for. The exit status: 0 every box passed, 1 a box failed, 2 no box
// was reached.
#include <QApplication>
#include <QDir>
#include <QFileInfo>
#include <QSettings>
#include <QSocketNotifier>


#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "AppIcon.h"
#include "CloseSignals.h"
#include "BenchWindow.h"

namespace {

const char* const kUsage = R"(Usage: stb-bench [--port DEVICE]... [--continuous] [--address-mismatch stop|continue]
Flashes boxes on several serial ports at once: one row per port, each served
by its own `stb-downloader --console --json` process. Start it in the folder
that holds inc/*.inc and type the download mode's keyword into the window
(it is not displayed): it chooses the mode for every port.

Options:
  --port DEVICE   a port of the bench, once per port; without any, the
                  ports of the last bench that was given them
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

QSettings BenchSettings() { return QSettings(QSettings::IniFormat, QSettings::UserScope, "stb-downloader", "stb-bench"); }

// The stb-downloader installed beside this program, else the one on $PATH.
std::string StationProgram() {
  const QString beside = QDir(QCoreApplication::applicationDirPath()).filePath("stb-downloader");
  return QFileInfo(beside).isExecutable() ? beside.toStdString() : std::string("stb-downloader");
}

}  // namespace

int main(int argc, char** argv) {
  TBenchOptions options;
  std::vector<char*> qtArgv{argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    }
    if (arg == "--version") {
      std::cout << "stb-bench " STB_VERSION "\n";
      return 0;
    }
    if (arg == "--continuous") {
      options.Continuous = true;
    } else if ((arg == "--port" || arg == "--address-mismatch") && i + 1 < argc && *argv[i + 1] != '\0') {
      const std::string value = argv[++i];
      if (arg == "--port") {
        options.Ports.push_back(value);
      } else if (value == "stop" || value == "continue") {
        options.ContinueOnAddressMismatch = value == "continue";
      } else {
        std::cerr << "stb-bench: --address-mismatch: stop or continue\n";
        return 2;
      }
    } else if (arg == "--port" || arg == "--address-mismatch") {
      std::cerr << "stb-bench: " << arg << ": needs a value\nTry --help.\n";
      return 2;
    } else {
      // The toolkit's own options (-platform offscreen...); it refuses what it does not know either.
      qtArgv.push_back(argv[i]);
    }
  }
  qtArgv.push_back(nullptr);
  int qtArgc = int(qtArgv.size()) - 1;
  QApplication app(qtArgc, qtArgv.data());
  if (const QStringList left = QApplication::arguments(); left.size() > 1) {
    std::cerr << "stb-bench: unknown option \"" << left[1].toStdString() << "\"\nTry --help.\n";
    return 2;
  }
  QApplication::setApplicationName("stb-bench");
  QApplication::setWindowIcon(AppIcon());

  // The ports of the last bench, so that the menu entry brings the same bench back.
  if (options.Ports.empty()) {
    for (const QString& port : BenchSettings().value("ports").toStringList()) options.Ports.push_back(port.toStdString());
  } else {
    QStringList ports;
    for (const std::string& port : options.Ports) ports << QString::fromStdString(port);
    BenchSettings().setValue("ports", ports);
  }
  if (options.Ports.empty()) {
    std::cerr << "stb-bench: no ports: give each with --port DEVICE (they are remembered for the next start)\n";
    return 2;
  }
  options.StationProgram = StationProgram();

  TBenchWindow bench(options);
  const auto closeSignal = CatchCloseSignals([&bench] { bench.CloseWithoutAsking(); });
  bench.show();
  QApplication::exec();
  return bench.ExitStatus();
}
