// stb-bench.exe: the bench's entry on Windows. The ports from the command
// line (or those of the last bench, or every port the system lists offered
// to tick), the window, the message loop. The exit status: 0 every box
// passed, 1 a box failed, 2 no box was reached; a bench started from a
// script or a command prompt leaves its totals on the output it was given.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <exception>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Win32BenchWindow.h"
#include "Win32Output.h"

namespace {

constexpr const char* kTitle = "stb-bench";

// The window and its message loop; the exit status and the totals once it closed.
int RunBench(const TBenchOptions& options, std::string& totals) {
  TWin32BenchWindow bench(options);
  if (bench.Handle == nullptr) return 2;
  bench.Show();
  MSG msg;
  while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&msg);
    ::DispatchMessageA(&msg);
  }
  totals = bench.Bench().TotalsText();
  if (const std::string causes = bench.Bench().CauseTotalsText(); !causes.empty()) totals += "\n" + causes;
  return bench.Bench().ExitStatus();
}

}  // namespace

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  TCommandLine cl;
  std::string error;
  if (!ParseCommandLine(Arguments(), cl, error, TProgram::Bench) || !cl.Rest.empty()) {
    Tell("stb-bench: " + (error.empty() ? "unknown option \"" + cl.Rest.front() + "\"" : error) + "\nTry --help.\n",
         true, kTitle);
    return 2;
  }
  if (const auto info = InfoText(cl, TProgram::Bench)) {
    Tell(*info, false, kTitle);
    return 0;
  }
  TBenchOptions options;
  if (!TakeBenchPorts(cl.Ports, options)) {
    Tell(kBenchNoPorts, true, kTitle);
    return 2;
  }
  options.Continuous = cl.Continuous;
  options.ContinueOnAddressMismatch = cl.ContinueOnAddressMismatch.value_or(false);
  options.Trace = cl.Trace;
  try {
    std::string totals;
    const int status = RunBench(options, totals);
    if (!totals.empty()) TellInherited(totals + "\n");
    return status;
  } catch (const std::exception& e) {
    ::MessageBoxA(nullptr, e.what(), kTitle, MB_OK | MB_ICONERROR);
    return 2;
  }
}
