// The bench's window on Linux: the bench's state (core/bench/) drawn with Qt
// widgets, a row per port, and what the operator does handed to it: the
// keyword typed blind, the continuous check box, the close button.
#pragma once

#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QTimer>
#include <QWidget>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "Bench.h"

class TBenchWindow : public QWidget {
  Q_OBJECT
public:
  explicit TBenchWindow(TBenchOptions options, QWidget* parent = nullptr);
  // Stations still running are stopped and waited for: none outlives the bench.
  ~TBenchWindow() override;

  const TBench& Bench() const { return FBench; }
  int RowCount() const { return int(FBench.RowCount()); }
  const TBenchRow& Row(int i) const { return FBench.Row(std::size_t(i)); }
  std::uint8_t Mode() const { return FBench.Mode(); }
  const TDownloadJob& Job() const { return FBench.Job(); }
  bool Idle() const { return FBench.Idle(); }
  int Passed() const { return FBench.Passed(); }
  int Failed() const { return FBench.Failed(); }
  int ExitStatus() const { return FBench.ExitStatus(); }
  // Row i's result as its label shows it, cut to the column's width, and
  // the tooltip over the row.
  QString ResultShown(int i) const { return FCells[std::size_t(i)].Labels[TBenchRowText::Result]->text(); }
  QString RowToolTip(int i) const { return FCells[std::size_t(i)].Labels[TBenchRowText::Stage]->toolTip(); }
  std::vector<long> StationPids() const { return FBench.StationPids(); }

  void SetContinuous(bool on);
  // The check box of row i when its port is offered to tick, else none.
  QCheckBox* TickBox(int i) const { return FCells[std::size_t(i)].Tick; }
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
  struct TRowCells {
    std::array<QLabel*, TBenchRowText::kLabels> Labels{};
    QProgressBar *Download = nullptr, *Flash = nullptr;
    QCheckBox* Tick = nullptr;  // in the port's place, the port its text
    std::string Reason;         // the whole reason, as the row's tooltip has it
    std::string Result;         // the result before it was cut to its column
  };

  void BuildHead(class QVBoxLayout* top);
  void BuildRow(std::size_t i, class QGridLayout* grid);
  // A look at every station, then the drawing; closes once the bench may.
  void Tick();
  void Draw();
  void DrawRow(TRowCells& cells, const TBenchRowText& row);

  TBench FBench;
  std::vector<TRowCells> FCells;
  bool FAskWhileSending = true;
  QTimer FTickTimer;
};
