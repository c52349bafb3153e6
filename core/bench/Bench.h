// The bench, whatever draws it: one keyword, a row per port. Each row is
// served by its own station, a downloader process on that port telling its
// events as JSON, so one box's fault or a station's crash reaches no other
// row. The bench starts the stations, looks at them, folds their events
// into the rows, starts them again box after box when asked to, decides
// how it closes and counts the boxes. A window (Qt on Linux, Win32 on
// Windows) only draws the state here and forwards what the operator does.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BenchRow.h"
#include "DownloadJob.h"
#include "Events.h"
#include "ModeChoice.h"
#include "StationProcess.h"

struct TBenchOptions {
  std::vector<std::string> Ports;  // the bench's ports, each in use
  bool Continuous = false;                 // a finished row starts its station again at once
  bool ContinueOnAddressMismatch = false;  // the stations' answer to the address question
  std::string StationProgram = ::StationProgram();  // the downloader serving a row
  std::string Trace;  // each station's wire trace: this file with its port's name in it
  // Without Ports: the ports present, offered as rows to tick. Only the
  // ticked ones are used once the keyword chose the mode, and are then
  // remembered for the next bench.
  std::vector<std::string> Offered = {};
};

// "wire.txt" and "/dev/ttyUSB0" give "wire-ttyUSB0.txt": the port's last
// name, anything but letters, digits, '-', '_' and '.' as '_', before the
// file's extension.
std::string StationTraceFile(const std::string& file, const std::string& port);

inline constexpr const char* kBenchKeywordHeader = "Type the download mode's keyword into this window (it is not displayed).";
inline constexpr const char* kBenchTickHeader =
    "Tick the ports to use, then type the download mode's keyword into this window (it is not displayed).";
inline constexpr const char* kBenchTickFirstHeader =
    "No port is ticked: tick the ports to use first, then type the keyword again.";
inline constexpr const char* kBenchNotInUse = "not in use";

// The lines above the rows, in UTF-8.
struct TBenchHead {
  std::string Header = kBenchKeywordHeader;
  std::string ImageLine = "Image: none yet";
  std::string DigestLine = "SHA-256: none yet";
  bool Problem = false;  // the description could not be read: the three lines in red
};

// One row as the window shows it: its labels' texts in UTF-8, in the
// columns' order (the two bars between Stage and Bytes left out), its bars.
struct TBenchRowText {
  enum TLabel { Port, Box, Stage, Bytes, Pace, Left, Result, Time, Passed, Failed, kLabels };
  std::array<std::string, kLabels> Labels;
  int DownloadPercent = 0, FlashPercent = 0;
  bool Success = false;  // the result in green, else red
  // The row's whole reason, however narrow its column: the result as the
  // station told it; empty while there is none.
  std::string Reason;
  // An offered port's check box, the port its text; None: no check box
  // (the bench's ports were given or remembered).
  enum class TTick { None, Off, On };
  TTick Tick = TTick::None;
  bool TickLocked = false;  // the mode is chosen: the tick can no longer change
  bool InUse = true;        // false: a port left unticked, the row drawn greyed
};

// What closing the window does now.
enum class TBenchClose {
  Now,    // nothing runs: close
  Ask,    // blocks go out: ask first (kStopQuestion); on Yes, StopForClose
  Stop,   // stations run but send nothing: StopForClose, no question
  Wait,   // already stopping: the window closes once CloseDue
};

// The texts of the columns, in their order.
inline constexpr const char* kBenchColumns[] = {"Port",  "Box: OUI, model, hw", "Stage", "Down Load", "Flash Write", "Bytes",
                                                "Rate",  "Left", "Result", "Time", "Passed", "Failed"};
inline constexpr const char* kContinuousText = "Continuous: start again for the next box on each port";

class TBench {
public:
  using TClock = std::function<double()>;  // seconds, from any start
  using TStationMaker = std::function<std::unique_ptr<TStationProcess>()>;

  explicit TBench(TBenchOptions options, TStationMaker makeStation = NewStationProcess, TClock clock = {});
  // Every station is asked to stop at once, then each is waited for, so
  // that they stop side by side: none outlives the bench.
  ~TBench();
  TBench(const TBench&) = delete;
  TBench& operator=(const TBench&) = delete;

  // One character of the keyword, typed blind as into the main window. True
  // when it chose the mode: the first keyword completed chooses it for
  // every port, once, and the stations start.
  // With ports offered to tick, a keyword completed while none is ticked
  // chooses nothing: the header asks for a tick, and the keyword typed
  // again after one counts.
  bool Key(std::uint8_t c);
  // The operator ticks an offered port, or takes the tick back; false (and
  // nothing changes) when the row has no check box or the mode is chosen.
  bool SetTicked(std::size_t i, bool on);
  // The rows are offered ports, with check boxes.
  bool Offering() const { return FOffering; }
  // A look at every station: what it wrote since, as events, and whether it
  // ended; a station due to start again is started.
  void Look();
  void SetContinuous(bool on);
  bool Continuous() const { return FOptions.Continuous; }

  // The operator closes the window; `ask` false for a signal's close.
  TBenchClose Close(bool ask) const;
  // Every station asked to stop; the window closes once CloseDue.
  void StopForClose();
  bool CloseDue() const { return FClosing && Idle(); }

  const TBenchHead& Head() const { return FHead; }
  std::size_t RowCount() const { return FRows.size(); }
  const TBenchRow& Row(std::size_t i) const;
  TBenchRowText RowText(std::size_t i) const;
  std::uint8_t Mode() const { return FModeChoice.Mode(); }
  const TDownloadJob& Job() const { return FModeChoice.Job(); }
  // No station runs (or will start): every row has its result.
  bool Idle() const;
  int Passed() const;
  int Failed() const;
  // "Passed 3   Failed 1   Boxes 4"
  std::string TotalsText() const;
  // "Failed by cause: no-reply 2   rejected 1" over every row, the most
  // frequent first; empty while no box failed.
  std::string CauseTotalsText() const;
  // Stations that failed before reaching a box, every row's together.
  int StationFailures() const;
  // 0 every box passed and every station reached its port; 1 a box failed,
  // or a station failed before any box while other boxes were reached; 2
  // no box was reached.
  int ExitStatus() const;
  // The processes serving the rows now, for a measurement.
  std::vector<long> StationPids() const;

private:
  struct TSlot;

  void ModeChosen();
  std::vector<std::string> TickedPorts() const;
  // A row whose station may run: any but an offered port left unticked
  // once the mode is chosen.
  bool InUse(std::size_t i) const;
  void StartStation(std::size_t i);
  void Look(std::size_t i);
  void StationEnded(std::size_t i, int code, bool signalled);
  void StopStations();
  double Now() const { return FClock(); }

  TBenchOptions FOptions;
  TStationMaker FMakeStation;
  TClock FClock;
  std::vector<std::unique_ptr<TSlot>> FRows;
  TModeChoice FModeChoice;  // the keyword, the mode and its description, as the download window has them
  TBenchHead FHead;
  bool FClosing = false;
  bool FOffering = false;
};

// The ports of a bench: those given, which are then remembered; without
// any, those remembered from the last bench (given or ticked); empty
// without those.
std::vector<std::string> BenchPorts(const std::vector<std::string>& given);
// The bench's ports into `options`: BenchPorts' in Ports, else every port
// the system lists in Offered, to tick. False when there is none at all.
bool TakeBenchPorts(const std::vector<std::string>& given, TBenchOptions& options);
