#include "BenchWindow.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollArea>
#include <QVBoxLayout>


#include <algorithm>

#include "FileError.h"
#include "Format.h"
#include "DialogTexts.h"
#include "CounterText.h"

namespace {

// A station that ended without reaching a box (its port would not open, say)
// is started again after this pause, not in a tight loop.
constexpr int kRestartPauseMs = 2000;
// How often the stations are looked at and the rows drawn: the time left
// moves by its seconds, and these are the window's only wake-ups however
// much the stations say. Painting the changed texts is most of the window's
// cost, so it is done no more often than that.
constexpr int kTickIntervalMs = 1000;

const char* const kColumns[] = {"Port", "Box: OUI, model, hw", "Stage", "Down Load", "Flash Write", "Bytes",
                                "Rate", "Left", "Result", "Time", "Passed", "Failed"};

QString Text(const std::string& s) { return QString::fromStdString(s); }

void SetText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

QProgressBar* MakeBar() {
  auto* bar = new QProgressBar;
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setFixedSize(100, 16);
  return bar;
}

void Colour(QLabel* label, const QColor& colour) {
  QPalette pal = label->palette();
  if (pal.color(QPalette::WindowText) == colour) return;
  pal.setColor(QPalette::WindowText, colour);
  label->setPalette(pal);
}

}  // namespace

struct TBenchWindow::TRowSlot {
  explicit TRowSlot(const std::string& port)
      : Model(port), Reader([this](const TEvent& e) { Pending.push_back(e); }) {}

  TBenchRow Model;
  TEventReader Reader;
  std::vector<TEvent> Pending;
  std::unique_ptr<TStationProcess> Station;
  std::string Out, Err;
  std::string LastError;
  bool RestartDue = false;
  std::uint64_t DrawnVersion = ~std::uint64_t(0);
  QLabel *Port, *Box, *Stage, *Bytes, *Rate, *Left, *Result, *Time, *Passed, *Failed;
  QProgressBar *Download, *Flash;
};

TBenchWindow::TBenchWindow(TBenchOptions options, QWidget* parent) : QWidget(parent), FOptions(std::move(options)) {
  setWindowTitle("stb-bench: " + QString(kCaption));
  setFocusPolicy(Qt::StrongFocus);
  FClock.start();

  auto* top = new QVBoxLayout(this);
  Header = new QLabel("Type the download mode's keyword into this window (it is not displayed).");
  QFont bold = Header->font();
  bold.setBold(true);
  Header->setFont(bold);
  ImageLine = new QLabel("Image: none yet");
  DigestLine = new QLabel("SHA-256: none yet");
  DigestLine->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  DigestLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* controls = new QHBoxLayout;
  ContinuousBox = new QCheckBox("Continuous: start again for the next box on each port");
  ContinuousBox->setFocusPolicy(Qt::NoFocus);
  ContinuousBox->setChecked(FOptions.Continuous);
  connect(ContinuousBox, &QCheckBox::toggled, this, [this](bool on) { SetContinuous(on); });
  Totals = new QLabel;
  controls->addWidget(ContinuousBox);
  controls->addStretch();
  controls->addWidget(Totals);
  for (QWidget* w : {static_cast<QWidget*>(Header), static_cast<QWidget*>(ImageLine), static_cast<QWidget*>(DigestLine)})
    top->addWidget(w);
  top->addLayout(controls);

  auto* table = new QWidget;
  auto* grid = new QGridLayout(table);
  grid->setHorizontalSpacing(10);
  for (int c = 0; c < int(std::size(kColumns)); ++c) {
    auto* title = new QLabel(kColumns[c]);
    title->setFont(bold);
    grid->addWidget(title, 0, c);
  }
  for (std::size_t i = 0; i < FOptions.Ports.size(); ++i) BuildRow(i, grid);
  grid->setRowStretch(int(FOptions.Ports.size()) + 1, 1);
  auto* scroll = new QScrollArea;
  scroll->setWidget(table);
  scroll->setWidgetResizable(true);
  scroll->setFocusPolicy(Qt::NoFocus);
  top->addWidget(scroll, 1);
  // Wide enough for every column, as high as the rows need up to a screen's worth.
  resize(table->sizeHint().width() + 2 * scroll->frameWidth() + top->contentsMargins().left() +
             top->contentsMargins().right() + 4,
         std::min(700, 150 + 26 * int(FOptions.Ports.size())));

  FTickTimer.setInterval(kTickIntervalMs);
  connect(&FTickTimer, &QTimer::timeout, this, [this] { Tick(); });
  FTickTimer.start();
  Draw();
}

// Every station is asked to stop at once, then each is waited for (by its
// own destructor), so that they stop side by side.
TBenchWindow::~TBenchWindow() {
  FTickTimer.stop();
  FClosing = true;
  StopStations();
}

void TBenchWindow::BuildRow(std::size_t i, QGridLayout* grid) {
  auto row = std::make_unique<TRowSlot>(FOptions.Ports[i]);
  const int r = int(i) + 1;
  int c = 0;
  // Fixed widths: a text that changes never moves the other columns, so a
  // change repaints its own label and nothing else.
  auto label = [&](QLabel*& out, int width) {
    out = new QLabel;
    out->setTextFormat(Qt::PlainText);
    if (width > 0) out->setFixedWidth(width);
    grid->addWidget(out, r, c++);
  };
  label(row->Port, 0);
  row->Port->setText(Text(FOptions.Ports[i]));
  label(row->Box, 140);
  label(row->Stage, 175);
  row->Download = MakeBar();
  grid->addWidget(row->Download, r, c++);
  row->Flash = MakeBar();
  grid->addWidget(row->Flash, r, c++);
  label(row->Bytes, 125);
  label(row->Rate, 65);
  label(row->Left, 35);
  label(row->Result, 190);
  label(row->Time, 35);
  label(row->Passed, 45);
  label(row->Failed, 45);
  QFont bold = row->Result->font();
  bold.setBold(true);
  row->Result->setFont(bold);
  FRows.push_back(std::move(row));
}

// --- the keyword ------------------------------------------------------------------------

// Typed blind, as into the main window: every character goes through the
// core's matcher, and the first keyword completed chooses the mode for
// every port, once.
void TBenchWindow::keyPressEvent(QKeyEvent* event) {
  if (FModeChoice.Mode() != 0 || event->text().isEmpty()) {
    QWidget::keyPressEvent(event);
    return;
  }
  for (QChar c : event->text()) {
    if (FModeChoice.Key(c.unicode() <= 0xFF ? std::uint8_t(c.unicode()) : 0)) {
      ModeChosen();
      break;
    }
  }
  event->accept();
}

void TBenchWindow::ModeChosen() {
  SetText(Header, QString::fromLatin1(FModeChoice.Info().LogLine));
  // Read once here, to show what every box is about to get; each station
  // reads the same file for its own download and checks its own blocks.
  try {
    FModeChoice.ReadDescription([](const std::string&) {});
  } catch (const std::exception& e) {
    const auto* file = dynamic_cast<const TFileError*>(&e);
    SetText(ImageLine, QString::fromLatin1(e.what()));
    SetText(DigestLine, file != nullptr ? QString::fromLatin1(file->Detail()) : QString());
    Colour(ImageLine, Qt::red);
    Colour(DigestLine, Qt::red);
    Colour(Header, Qt::red);
    return;
  }
  SetText(ImageLine, QString("Image: %1   %2 bytes, %3 blocks")
                         .arg(Text(Job().ImageFileName))
                         .arg(Job().ImageFileBytes)
                         .arg(Job().BlockCount()));
  SetText(DigestLine, "SHA-256: " + Text(Job().ImageSha256));
  for (std::size_t i = 0; i < FRows.size(); ++i) StartStation(i);
  Draw();
}

// --- the stations -------------------------------------------------------------------------

void TBenchWindow::StartStation(std::size_t i) {
  TRowSlot& row = *FRows[i];
  row.RestartDue = false;
  if (FClosing || !FModeChoice.JobReady() || (row.Station && row.Station->Running())) return;
  std::vector<std::string> args{"--console", "--json", "--port", row.Model.Port()};
  if (FOptions.ContinueOnAddressMismatch) args.insert(args.end(), {"--address-mismatch", "continue"});
  row.Station = std::make_unique<TStationProcess>();
  row.LastError.clear();
  row.Model.StationStarted(Now());
  // The keyword as the first line of its input, never on the command line,
  // where every process listing would show it.
  std::string error;
  if (!row.Station->Start(FOptions.StationProgram, args, FModeChoice.Keyword() + "\n", error)) {
    row.LastError = error;
    StationEnded(i, -1, false);
  }
}

// What the station wrote since the last look, as events; and its end.
void TBenchWindow::Look(std::size_t i) {
  TRowSlot& row = *FRows[i];
  if (!row.Station) return;
  const bool ended = row.Station->Ended();
  row.Station->Read(row.Out, row.Err);
  if (!row.Out.empty()) {
    row.Reader.Feed(row.Out);
    row.Out.clear();
  }
  if (std::string line = LastWrittenLine(row.Err); !line.empty()) row.LastError = std::move(line);
  row.Err.clear();
  if (ended) row.Reader.Finish();
  const double now = Now();
  for (const TEvent& e : row.Pending) row.Model.Take(e, now);
  row.Pending.clear();
  if (ended) StationEnded(i, row.Station->ExitCode(), row.Station->Signalled());
}

void TBenchWindow::StationEnded(std::size_t i, int code, bool signalled) {
  TRowSlot& row = *FRows[i];
  row.Model.StationEnded(code, signalled, row.LastError, Now());
  row.Station.reset();
  if (FClosing) {
    if (Idle()) close();
    return;
  }
  if (!ContinuousBox->isChecked()) return;
  row.RestartDue = true;
  if (row.Model.EndedWithoutBox())
    QTimer::singleShot(kRestartPauseMs, this, [this, i] {
      if (FRows[i]->RestartDue) StartStation(i);
    });
  else
    StartStation(i);
}

void TBenchWindow::Tick() {
  for (std::size_t i = 0; i < FRows.size(); ++i) Look(i);
  Draw();
}

void TBenchWindow::SetContinuous(bool on) {
  if (ContinuousBox->isChecked() != on) ContinuousBox->setChecked(on);
  if (!on) {
    for (auto& row : FRows) row->RestartDue = false;
    return;
  }
  for (std::size_t i = 0; i < FRows.size(); ++i)
    if (!FRows[i]->Station && Mode() != 0) StartStation(i);
}

void TBenchWindow::StopStations() {
  for (auto& row : FRows) {
    row->RestartDue = false;
    // SIGTERM: the station stops after the block on the line, or at once
    // before a download, and lets its port go.
    if (row->Station) row->Station->Terminate();
  }
}

const TBenchRow& TBenchWindow::Row(int i) const { return FRows[std::size_t(i)]->Model; }

bool TBenchWindow::Idle() const {
  for (const auto& row : FRows)
    if (row->Model.Running() || row->RestartDue) return false;
  return true;
}

int TBenchWindow::Passed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Passed();
  return n;
}

int TBenchWindow::Failed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Failed();
  return n;
}

int TBenchWindow::ExitStatus() const { return Failed() > 0 ? 1 : Passed() > 0 ? 0 : 2; }

std::vector<pid_t> TBenchWindow::StationPids() const {
  std::vector<pid_t> pids;
  for (const auto& row : FRows)
    if (row->Station && row->Station->Pid() > 0) pids.push_back(row->Station->Pid());
  return pids;
}

// --- closing -----------------------------------------------------------------------------------

void TBenchWindow::closeEvent(QCloseEvent* event) {
  bool sending = false;
  for (const auto& row : FRows) sending = sending || row->Model.Sending();
  const TCloseStep step = DecideClose(!Idle(), sending, FAskWhileSending);
  if (step == TCloseStep::CloseNow) {
    event->accept();
    return;
  }
  event->ignore();
  if (FClosing) return;  // already stopping; the last station to end closes the window
  if (step == TCloseStep::AskThenStop) {
    QMessageBox box(QMessageBox::Question, "stb-bench", QString::fromLatin1(kStopQuestion),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes) return;
  }
  FClosing = true;
  SetText(Header, "Stopping the stations; the bench closes once every port is let go.");
  StopStations();
  if (Idle()) close();
}

void TBenchWindow::CloseWithoutAsking() {
  FAskWhileSending = false;
  close();
}

// --- drawing ---------------------------------------------------------------------------------------

void TBenchWindow::Draw() {
  const double now = Now();
  for (auto& row : FRows) DrawRow(*row, now);
  SetText(Totals, QString("Passed %1   Failed %2   Boxes %3").arg(Passed()).arg(Failed()).arg(Passed() + Failed()));
}

void TBenchWindow::DrawRow(TRowSlot& row, double now) {
  const TBenchRow& m = row.Model;
  // The time left moves while blocks go out; the rest only on news. The
  // box's time is shown once it is over: a clock per row ticking every
  // second would be most of what the window paints.
  const auto left = m.SecondsLeft();
  SetText(row.Left, left ? Text(MinutesText(*left)) : QString());
  if (row.DrawnVersion == m.Version()) return;
  row.DrawnVersion = m.Version();
  SetText(row.Box, Text(m.Identity()));
  SetText(row.Stage, QString::fromLatin1(m.Stage()));
  if (row.Download->value() != m.DownloadPercent()) row.Download->setValue(m.DownloadPercent());
  if (row.Flash->value() != m.FlashPercent()) row.Flash->setValue(m.FlashPercent());
  SetText(row.Bytes, m.Total() > 0 ? Text(ByteCounterText(m.Bytes(), m.Total())) : QString());
  SetText(row.Rate, m.Rate() ? Text(Format("%.1f kB/s", *m.Rate() / 1000)) : QString());
  SetText(row.Result, QString::fromLatin1(m.ResultText()));
  row.Result->setToolTip(row.Result->text());
  Colour(row.Result, m.Result() == TRowResult::Success ? QColor(0, 0x80, 0) : QColor(0xC0, 0, 0));
  const auto took = m.Result() != TRowResult::None ? m.Seconds(now) : std::nullopt;
  SetText(row.Time, took ? Text(MinutesText(*took)) : QString());
  SetText(row.Passed, QString::number(m.Passed()));
  SetText(row.Failed, QString::number(m.Failed()));
}
