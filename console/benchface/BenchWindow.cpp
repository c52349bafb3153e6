#include "BenchWindow.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollArea>
#include <QVBoxLayout>

#include <signal.h>

#include "DescriptionFile.h"
#include "FileError.h"
#include "Format.h"
#include "FormLayout.h"

namespace {

// A station that ended without reaching a box (its port would not open, say)
// is started again after this pause, not in a tight loop.
constexpr int kRestartPauseMs = 2000;
// What a person can follow; the events themselves come as they come.
constexpr int kDrawIntervalMs = 200;

const char* const kColumns[] = {"Port", "Box", "Stage", "Down Load", "Flash Write", "Bytes",
                                "Rate", "Left", "Result", "Time", "Passed", "Failed"};

QString Text(const std::string& s) { return QString::fromStdString(s); }

void SetText(QLabel* label, const QString& text) {
  if (label->text() != text) label->setText(text);
}

QProgressBar* MakeBar() {
  auto* bar = new QProgressBar;
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(true);
  bar->setFixedWidth(110);
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
      : Model(port), Reader([this](const TStationEvent& e) { Pending.push_back(e); }) {}

  TBenchRow Model;
  TStationReader Reader;
  std::vector<TStationEvent> Pending;
  std::unique_ptr<QProcess> Station;
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
  ResetKeywordSlots(FKeywordSlots);

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
  grid->setHorizontalSpacing(12);
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
  resize(1180, 150 + 34 * int(FOptions.Ports.size()));

  FDrawTimer.setInterval(kDrawIntervalMs);
  connect(&FDrawTimer, &QTimer::timeout, this, [this] { Draw(); });
  FDrawTimer.start();
  Draw();
}

TBenchWindow::~TBenchWindow() {
  FDrawTimer.stop();
  FClosing = true;
  for (auto& row : FRows) {
    if (!row->Station) continue;
    row->Station->disconnect();
    if (row->Station->state() != QProcess::NotRunning) {
      row->Station->terminate();
      if (!row->Station->waitForFinished(30000)) row->Station->kill();
      row->Station->waitForFinished(5000);
    }
  }
}

void TBenchWindow::BuildRow(std::size_t i, QGridLayout* grid) {
  auto row = std::make_unique<TRowSlot>(FOptions.Ports[i]);
  const int r = int(i) + 1;
  int c = 0;
  auto label = [&](QLabel*& out) {
    out = new QLabel;
    out->setTextFormat(Qt::PlainText);
    grid->addWidget(out, r, c++);
  };
  label(row->Port);
  row->Port->setText(Text(FOptions.Ports[i]));
  label(row->Box);
  label(row->Stage);
  row->Stage->setMinimumWidth(170);
  row->Download = MakeBar();
  grid->addWidget(row->Download, r, c++);
  row->Flash = MakeBar();
  grid->addWidget(row->Flash, r, c++);
  for (QLabel** l : {&row->Bytes, &row->Rate, &row->Left, &row->Result, &row->Time, &row->Passed, &row->Failed})
    label(*l);
  row->Result->setMinimumWidth(180);
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
  if (FMode != 0 || event->text().isEmpty()) {
    QWidget::keyPressEvent(event);
    return;
  }
  for (QChar c : event->text()) {
    const std::uint8_t mode = MatchKeywordCharacter(FKeywordSlots, c.unicode() <= 0xFF ? std::uint8_t(c.unicode()) : 0);
    if (mode != 0) {
      ModeChosen(mode);
      break;
    }
  }
  event->accept();
}

void TBenchWindow::ModeChosen(std::uint8_t mode) {
  FMode = mode;
  const auto& word = FKeywordSlots[mode - 1].Keyword;
  FKeyword.assign(word.begin(), word.end());
  const TModeInfo& info = ModeInfo(mode);
  SetText(Header, QString::fromLatin1(info.LogLine));
  // Read once here, to show what every box is about to get; each station
  // reads the same file for its own download and checks its own blocks.
  try {
    ::ReadDescriptionFile(info.DescriptionFile, FJob, [](const std::string&) {});
    FJobReady = true;
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
                         .arg(Text(FJob.ImageFileName))
                         .arg(FJob.ImageFileBytes)
                         .arg(FJob.BlockCount()));
  SetText(DigestLine, "SHA-256: " + Text(FJob.ImageSha256));
  for (std::size_t i = 0; i < FRows.size(); ++i) StartStation(i);
}

// --- the stations -------------------------------------------------------------------------

void TBenchWindow::StartStation(std::size_t i) {
  TRowSlot& row = *FRows[i];
  row.RestartDue = false;
  if (FClosing || !FJobReady || (row.Station && row.Station->state() != QProcess::NotRunning)) return;
  row.Station = std::make_unique<QProcess>();
  row.LastError.clear();
  QProcess* p = row.Station.get();
  QStringList args{"--console", "--json", "--port", Text(row.Model.Port())};
  if (FOptions.ContinueOnAddressMismatch) args << "--address-mismatch" << "continue";
  connect(p, &QProcess::readyReadStandardOutput, this, [this, i, p] {
    TRowSlot& r = *FRows[i];
    const QByteArray bytes = p->readAllStandardOutput();
    r.Reader.Feed(std::string_view(bytes.constData(), std::size_t(bytes.size())));
    const double now = Now();
    for (const TStationEvent& e : r.Pending) r.Model.Take(e, now);
    r.Pending.clear();
  });
  connect(p, &QProcess::readyReadStandardError, this, [this, i, p] {
    const QList<QByteArray> lines = p->readAllStandardError().split('\n');
    for (const QByteArray& line : lines)
      if (!line.trimmed().isEmpty()) FRows[i]->LastError = line.trimmed().toStdString();
  });
  connect(p, &QProcess::finished, this, [this, i](int code, QProcess::ExitStatus status) {
    StationFinished(i, code, status == QProcess::CrashExit);
  });
  connect(p, &QProcess::errorOccurred, this, [this, i, p](QProcess::ProcessError error) {
    if (error != QProcess::FailedToStart) return;
    FRows[i]->LastError = FOptions.StationProgram + ": " + p->errorString().toStdString();
    StationFinished(i, -1, true);
  });
  row.Model.StationStarted(Now());
  p->start(Text(FOptions.StationProgram), args);
  // The keyword as the first line, never on the command line, where every
  // process listing would show it.
  p->write((FKeyword + "\n").c_str());
  p->closeWriteChannel();
}

void TBenchWindow::StationFinished(std::size_t i, int code, bool crashed) {
  TRowSlot& row = *FRows[i];
  if (row.Station && row.Station->state() == QProcess::NotRunning) {
    const QByteArray rest = row.Station->readAllStandardOutput();
    row.Reader.Feed(std::string_view(rest.constData(), std::size_t(rest.size())));
  }
  row.Reader.Finish();
  const double now = Now();
  for (const TStationEvent& e : row.Pending) row.Model.Take(e, now);
  row.Pending.clear();
  row.Model.StationEnded(code, crashed, row.LastError, now);
  // The process object goes once Qt is done with the signal it is in.
  if (row.Station) row.Station.release()->deleteLater();
  Draw();
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

void TBenchWindow::SetContinuous(bool on) {
  if (ContinuousBox->isChecked() != on) ContinuousBox->setChecked(on);
  if (!on) {
    for (auto& row : FRows) row->RestartDue = false;
    return;
  }
  for (std::size_t i = 0; i < FRows.size(); ++i)
    if (!FRows[i]->Station && FMode != 0) StartStation(i);
}

void TBenchWindow::StopStations() {
  for (auto& row : FRows) {
    row->RestartDue = false;
    // SIGTERM: the station stops after the block on the line, or at once
    // before a download, and lets its port go.
    if (row->Station && row->Station->state() != QProcess::NotRunning) row->Station->terminate();
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

std::vector<qint64> TBenchWindow::StationPids() const {
  std::vector<qint64> pids;
  for (const auto& row : FRows)
    if (row->Station && row->Station->processId() > 0) pids.push_back(row->Station->processId());
  return pids;
}

// --- closing -----------------------------------------------------------------------------------

void TBenchWindow::closeEvent(QCloseEvent* event) {
  if (Idle()) {
    event->accept();
    return;
  }
  event->ignore();
  if (FClosing) return;  // already stopping; the last station to end closes the window
  bool sending = false;
  for (const auto& row : FRows) sending = sending || row->Model.Sending();
  if (sending && FAskWhileSending) {
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
  // The clock columns move while a box is on the line; the rest only on news.
  if (const auto s = m.Seconds(now)) SetText(row.Time, Text(MinutesText(*s)));
  else SetText(row.Time, QString());
  const auto left = m.SecondsLeft();
  SetText(row.Left, left ? Text(MinutesText(*left)) : QString());
  if (row.DrawnVersion == m.Version()) return;
  row.DrawnVersion = m.Version();
  SetText(row.Box, Text(m.Identity()));
  SetText(row.Stage, QString::fromLatin1(m.Stage()));
  if (row.Download->value() != m.DownloadPercent()) row.Download->setValue(m.DownloadPercent());
  if (row.Flash->value() != m.FlashPercent()) row.Flash->setValue(m.FlashPercent());
  SetText(row.Bytes, m.Total() > 0 ? Text(ByteCounterText(m.Bytes(), m.Total())) : QString());
  SetText(row.Rate, m.Rate() ? Text(Format("%.0f B/s", *m.Rate())) : QString());
  SetText(row.Result, QString::fromLatin1(m.ResultText()));
  Colour(row.Result, m.Result() == TRowResult::Success ? QColor(0, 0x80, 0) : QColor(0xC0, 0, 0));
  SetText(row.Passed, QString::number(m.Passed()));
  SetText(row.Failed, QString::number(m.Failed()));
}
