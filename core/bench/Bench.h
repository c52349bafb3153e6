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
  std::vector<std::string> Ports;
  bool Continuous = false;                 // a finished row starts its station again at once
  bool ContinueOnAddressMismatch = false;  // the stations' answer to the address question
  std::string StationProgram = ::StationProgram();  // the downloader serving a row
  std::string Trace;  // each station's wire trace: this file with its port's name in it
};

// "wire.txt" and "/dev/ttyUSB0" give "wire-ttyUSB0.txt": the port's last
// name, anything but letters, digits, '-', '_' and '.' as '_', before the
// file's extension.
std::string StationTraceFile(const std::string& file, const std::string& port);

// The lines above the rows, in UTF-8.
struct TBenchHead {
  std::string Header = "Type the download mode's keyword into this window (it is not displayed).";
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
  bool Key(std::uint8_t c);
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
  // 0 every box passed, 1 one failed, 2 no box was reached.
  int ExitStatus() const;
  // The processes serving the rows now, for a measurement.
  std::vector<long> StationPids() const;

private:
  struct TSlot;

  void ModeChosen();
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
};

// The ports of a bench: those given, which are then remembered; without
// any, those remembered from the last bench given some; without those,
// every port the system lists.
std::vector<std::string> BenchPorts(const std::vector<std::string>& given);
