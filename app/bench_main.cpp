// The bench's entry: the ports from the command line (or those of the last
// bench, or every port the system lists offered to tick), the window, the
// loop. SIGTERM and SIGINT close the bench as its close button does,
// without the question: every station is stopped and waited for. The totals
// go to standard output as the window closes. The exit status: 0 every box
// passed, 1 a box failed or a port's station failed before any box, 2 no
// box was reached.
#include <QApplication>

#include <iostream>
#include <string>
#include <vector>

#include "AppIcon.h"
#include "BenchWindow.h"
#include "CloseSignals.h"
#include "CommandLine.h"
#include "NoDisplay.h"

int main(int argc, char** argv) {
  TCommandLine cl;
  std::string error;
  if (!ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc), cl, error, TProgram::Bench)) {
    std::cerr << "stb-bench: " << error << "\nTry --help.\n";
    return 2;
  }
  if (const auto info = InfoText(cl, TProgram::Bench)) {
    std::cout << *info;
    return 0;
  }
  if (const auto missing = MissingDisplay(cl.Rest, ProcessEnvironment)) {
    std::cerr << NoDisplayText("stb-bench", *missing);
    return 2;
  }
  // The toolkit's own options (-platform offscreen...).
  std::vector<char*> qtArgv{argv[0]};
  for (std::string& arg : cl.Rest) qtArgv.push_back(arg.data());
  qtArgv.push_back(nullptr);
  int qtArgc = int(qtArgv.size()) - 1;
  QApplication app(qtArgc, qtArgv.data());
  QApplication::setApplicationName("stb-bench");
  QApplication::setWindowIcon(AppIcon());

  TBenchOptions options;
  if (!TakeBenchPorts(cl.Ports, options)) {
    std::cerr << kBenchNoPorts;
    return 2;
  }
  options.Continuous = cl.Continuous;
  options.ContinueOnAddressMismatch = cl.ContinueOnAddressMismatch.value_or(false);
  options.Trace = cl.Trace;

  TBenchWindow bench(options);
  const auto closeSignal = CatchCloseSignals([&bench] { bench.CloseWithoutAsking(); });
  bench.show();
  QApplication::exec();
  // What the bench did, for the terminal it was started from, as the Windows bench tells its console.
  std::cout << bench.Bench().TotalsText() << '\n';
  if (const std::string causes = bench.Bench().CauseTotalsText(); !causes.empty()) std::cout << causes << '\n';
  std::cout << std::flush;
  return bench.ExitStatus();
}
