// The bench: one window, one keyword, a row per port. Each row is served by
// its own station, an `stb-downloader --console --json` process on that
// port, so one box's fault or a station's crash reaches no other row. The
// window only reads the stations' events and draws them; the stations talk
// to the boxes and write the record.
#pragma once

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "BenchRow.h"
#include "DownloadJob.h"
#include "ModeChoice.h"
#include "Events.h"
#include "StationProcess.h"

struct TBenchOptions {
  std::vector<std::string> Ports;
  bool Continuous = false;                 // a finished row starts its station again at once
  bool ContinueOnAddressMismatch = false;  // the stations' answer to the address question
  std::string StationProgram = "stb-downloader";
};

class TBenchWindow : public QWidget {
  Q_OBJECT
public:
  explicit TBenchWindow(TBenchOptions options, QWidget* parent = nullptr);
  // Stations still running are stopped and waited for: none outlives the bench.
  ~TBenchWindow() override;

  int RowCount() const { return int(FRows.size()); }
  const TBenchRow& Row(int i) const;
  std::uint8_t Mode() const { return FModeChoice.Mode(); }
  const TDownloadJob& Job() const { return FModeChoice.Job(); }
  // No station runs (or will start): every row has its result.
  bool Idle() const;
  int Passed() const;
  int Failed() const;
  // 0 every box passed, 1 one failed, 2 no box was reached.
  int ExitStatus() const;
  // The processes serving the rows now, for a measurement.
  std::vector<pid_t> StationPids() const;

  void SetContinuous(bool on);
  // For a signal: stop every station and close, asking nobody.
  void CloseWithoutAsking();

  QLabel* Header = nullptr;
  QLabel* ImageLine = nullptr;
  QLabel* DigestLine = nullptr;
  QCheckBox* ContinuousBox = nullptr;
  QLabel* Totals = nullptr;

protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  struct TRowSlot;

  void BuildRow(std::size_t i, class QGridLayout* grid);
  void ModeChosen();
  void StartStation(std::size_t i);
  void StopStations();
  // A look at every station (what it wrote, whether it ended), then the drawing.
  void Tick();
  void Look(std::size_t i);
  void StationEnded(std::size_t i, int code, bool signalled);
  void Draw();
  void DrawRow(TRowSlot& row, double now);
  double Now() const { return double(FClock.nsecsElapsed()) / 1e9; }

  TBenchOptions FOptions;
  std::vector<std::unique_ptr<TRowSlot>> FRows;
  TModeChoice FModeChoice;  // the keyword, the mode and its description, as the download window has them
  bool FClosing = false;
  bool FAskWhileSending = true;
  QElapsedTimer FClock;
  QTimer FTickTimer;
};
