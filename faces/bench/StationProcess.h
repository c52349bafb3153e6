// A station's process: stb-downloader started with pipes on its standard
// input, output and error. Nothing here waits: the bench looks at its
// stations once a second, reads what they wrote since and whether
// they ended, so eight chatty stations cost the window no more wake-ups
// than one quiet one. The pipe holds far more than a station writes between
// two looks, so no station is ever held up by the bench.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TStationProcess {
public:
  TStationProcess() = default;
  // A station still running is stopped (SIGTERM, then SIGKILL after
  // `kStopGraceMs`) and reaped: none outlives its bench.
  ~TStationProcess();
  TStationProcess(const TStationProcess&) = delete;
  TStationProcess& operator=(const TStationProcess&) = delete;

  // `input` goes to its standard input, which is then closed. False with the
  // reason when it could not be started.
  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& input,
             std::string& error);
  // Appends what it wrote since the last look; never waits.
  void Read(std::string& out, std::string& err);
  // True once it has ended and was reaped (after which Read gets the rest).
  bool Ended();
  bool Running() const { return FPid > 0 && !FEnded; }
  // Its exit status, or the signal that ended it.
  int ExitCode() const { return FExitCode; }
  bool Signalled() const { return FSignalled; }
  pid_t Pid() const { return FEnded ? -1 : FPid; }
  void Terminate();

  static constexpr int kStopGraceMs = 30000;

private:
  pid_t FPid = -1;
  int FOut = -1, FErr = -1;
  bool FEnded = false;
  int FExitCode = 0;
  bool FSignalled = false;
};
