// A station's process: the downloader started on one port with pipes on its
// standard input, output and error, telling what it does as JSON events.
// Nothing here waits: the bench looks at its stations once a second, reads
// what they wrote since and whether they ended, so eight chatty stations
// cost the window no more wake-ups than one quiet one. The pipe holds far
// more than a station writes between two looks, so no station is ever held
// up by the bench. One implementation per system, chosen by CMake.
#pragma once

#include <memory>
#include <string>
#include <vector>

class TStationProcess {
public:
  // A station still running is asked to stop, given `kStopGraceMs` to do
  // so, then ended and waited for: none outlives its bench.
  virtual ~TStationProcess() = default;

  // `input` goes to its standard input, which is then closed. False with the
  // reason when it could not be started.
  virtual bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& input,
                     std::string& error) = 0;
  // Appends what it wrote since the last look; never waits.
  virtual void Read(std::string& out, std::string& err) = 0;
  // True once it has ended (after which Read gets the rest).
  virtual bool Ended() = 0;
  virtual bool Running() const = 0;
  // Its exit status, or the signal that ended it; a crash on Windows ends
  // with its exception's code (0xC0000005...).
  virtual int ExitCode() const = 0;
  virtual bool Signalled() const = 0;
  // The system's number for it while it runs, else 0.
  virtual long Pid() const = 0;
  // Asks it to stop (SIGTERM; on Windows its stop event, as Ctrl+Break):
  // after the block on the line, or at once before a download; its record
  // is written and its port let go.
  virtual void Terminate() = 0;

  static constexpr int kStopGraceMs = 30000;
};

// A station process of this system, not started yet.
std::unique_ptr<TStationProcess> NewStationProcess();

// The terminal face that serves as a station, stb-downloader-cli installed
// beside this program (else, on Linux, the one on $PATH).
std::string StationProgram();

// The station's arguments for `port`: its events as JSON on standard output
// and no window (`--console --json` on Linux; stb-downloader-cli.exe has no
// window, so `--json` there).
std::vector<std::string> StationArguments(const std::string& port);
