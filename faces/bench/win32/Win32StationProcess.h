// A station's process on Windows: stb-downloader-cli.exe started with
// anonymous pipes on its standard input, output and error, and no console
// window of its own. Nothing here waits: the bench looks at its stations once
// a second, takes what they wrote since (PeekNamedPipe, then a read of no
// more than waits) and whether they ended. Each pipe holds far more than a
// station writes between two looks, so no station is held up by the bench.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string>
#include <vector>

class TWin32StationProcess {
public:
  TWin32StationProcess() = default;
  // A station still running is stopped (its stop event, then TerminateProcess
  // after `kStopGraceMs`) and waited for: none outlives its bench.
  ~TWin32StationProcess();
  TWin32StationProcess(const TWin32StationProcess&) = delete;
  TWin32StationProcess& operator=(const TWin32StationProcess&) = delete;

  // `input` goes to its standard input, which is then closed. False with the
  // reason when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& input,
             std::string& error);
  // Appends what it wrote since the last look; never waits.
  void Read(std::string& out, std::string& err);
  // True once it has ended (after which Read gets the rest).
  bool Ended();
  bool Running() const { return FProcess != nullptr && !FEnded; }
  // Its exit code; a crash's is the exception's code (0xC0000005...).
  int ExitCode() const { return int(FExitCode); }
  DWORD Pid() const { return Running() ? FPid : 0; }
  // Asks it to stop as Ctrl+Break would: after the block on the line, or at
  // once before a download; its record is written.
  void Terminate();
  // Ends it at once, as a crash would: no record.
  void Kill();

  static constexpr DWORD kStopGraceMs = 30000;

private:
  HANDLE FProcess = nullptr;
  HANDLE FStop = nullptr;
  HANDLE FOut = nullptr, FErr = nullptr;
  DWORD FPid = 0;
  bool FEnded = false;
  DWORD FExitCode = 0;
};

// The command line CreateProcess hands over, each argument quoted so that the
// C runtime's parser gives it back as it was (a path with spaces, a quote).
std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& args);
