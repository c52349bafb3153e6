#include "BenchWindow.h"

#include <QCloseEvent>
#include <QFontDatabase>
#include <QGridLayout>
#include <QKeyEvent>
#include <QMessageBox>
#include <QScrollArea>
#include <QVBoxLayout>

#include <algorithm>

#include "DialogTexts.h"

namespace {

// How often the stations are looked at and the rows drawn: the time left
// moves by its seconds, and these are the window's only wake-ups however
// much the stations say. Painting the changed texts is most of the window's
// cost, so it is done no more often than that.
constexpr int kTickIntervalMs = 1000;

QString Text(const std::string& s) { return QString::fromStdString(s); }

// Only a text that changed is set: setting one repaints its label.
void SetText(QLabel* label, const std::string& text) {
  if (const QString shown = Text(text); label->text() != shown) label->setText(shown);
}

QProgressBar* MakeBar() {
  auto* bar = new QProgressBar;
  bar->setRange(0, 100);
  bar->setValue(0);
  bar->setTextVisible(false);
  bar->setFixedSize(100, 16);
  return bar;
}

void SetBar(QProgressBar* bar, int percent) {
  if (bar->value() != percent) bar->setValue(percent);
}

void Colour(QLabel* label, const QColor& colour) {
  QPalette pal = label->palette();
  if (pal.color(QPalette::WindowText) == colour) return;
  pal.setColor(QPalette::WindowText, colour);
  label->setPalette(pal);
}

QFont Bold(const QFont& font) {
  QFont bold = font;
  bold.setBold(true);
  return bold;
}

}  // namespace

TBenchWindow::TBenchWindow(TBenchOptions options, QWidget* parent) : QWidget(parent), FBench(std::move(options)) {
  setWindowTitle("stb-bench: " + QString(kCaption));
  setFocusPolicy(Qt::StrongFocus);
  auto* top = new QVBoxLayout(this);
  BuildHead(top);

  auto* table = new QWidget;
  auto* grid = new QGridLayout(table);
  grid->setHorizontalSpacing(10);
  for (int c = 0; c < int(std::size(kBenchColumns)); ++c) {
    auto* title = new QLabel(kBenchColumns[c]);
    title->setFont(Bold(title->font()));
    grid->addWidget(title, 0, c);
  }
  for (std::size_t i = 0; i < FBench.RowCount(); ++i) BuildRow(i, grid);
  grid->setRowStretch(RowCount() + 1, 1);
  auto* scroll = new QScrollArea;
  scroll->setWidget(table);
  scroll->setWidgetResizable(true);
  scroll->setFocusPolicy(Qt::NoFocus);
  top->addWidget(scroll, 1);
  // Wide enough for every column, as high as the rows need up to a screen's worth.
  resize(table->sizeHint().width() + 2 * scroll->frameWidth() + top->contentsMargins().left() +
             top->contentsMargins().right() + 4,
         std::min(700, 150 + 26 * RowCount()));

  FTickTimer.setInterval(kTickIntervalMs);
  connect(&FTickTimer, &QTimer::timeout, this, [this] { Tick(); });
  FTickTimer.start();
  Draw();
}

TBenchWindow::~TBenchWindow() { FTickTimer.stop(); }

void TBenchWindow::BuildHead(QVBoxLayout* top) {
  Header = new QLabel;
  Header->setFont(Bold(Header->font()));
  ImageLine = new QLabel;
  DigestLine = new QLabel;
  DigestLine->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
  DigestLine->setTextInteractionFlags(Qt::TextSelectableByMouse);
  auto* controls = new QHBoxLayout;
  ContinuousBox = new QCheckBox(kContinuousText);
  ContinuousBox->setFocusPolicy(Qt::NoFocus);
  ContinuousBox->setChecked(FBench.Continuous());
  connect(ContinuousBox, &QCheckBox::toggled, this, [this](bool on) { SetContinuous(on); });
  Totals = new QLabel;
  controls->addWidget(ContinuousBox);
  controls->addStretch();
  controls->addWidget(Totals);
  for (QWidget* w : {static_cast<QWidget*>(Header), static_cast<QWidget*>(ImageLine), static_cast<QWidget*>(DigestLine)})
    top->addWidget(w);
  top->addLayout(controls);
}

// Fixed widths: a text that changes never moves the other columns, so a
// change repaints its own label and nothing else. 0: as wide as it needs.
constexpr int kLabelWidths[TBenchRowText::kLabels] = {0, 140, 175, 125, 65, 35, 190, 35, 45, 45};

void TBenchWindow::BuildRow(std::size_t i, QGridLayout* grid) {
  TRowCells cells;
  const int r = int(i) + 1;
  for (int l = 0; l < TBenchRowText::kLabels; ++l) {
    QLabel* label = cells.Labels[std::size_t(l)] = new QLabel;
    label->setTextFormat(Qt::PlainText);
    if (kLabelWidths[l] > 0) label->setFixedWidth(kLabelWidths[l]);
    // The bars stand in the fourth and fifth columns.
    grid->addWidget(label, r, l < TBenchRowText::Bytes ? l : l + 2);
  }
  cells.Download = MakeBar();
  grid->addWidget(cells.Download, r, TBenchRowText::Bytes);
  cells.Flash = MakeBar();
  grid->addWidget(cells.Flash, r, TBenchRowText::Bytes + 1);
  QLabel* result = cells.Labels[TBenchRowText::Result];
  result->setFont(Bold(result->font()));
  if (FBench.RowText(i).Tick != TBenchRowText::TTick::None) {
    cells.Labels[TBenchRowText::Port]->hide();
    cells.Tick = new QCheckBox(Text(FBench.Row(i).Port()));
    // Typing still goes to the window after a click.
    cells.Tick->setFocusPolicy(Qt::NoFocus);
    connect(cells.Tick, &QCheckBox::toggled, this, [this, i](bool on) {
      FBench.SetTicked(i, on);
      Draw();
    });
    grid->addWidget(cells.Tick, r, 0);
  }
  FCells.push_back(cells);
}

// Typed blind, as into the main window: every character goes to the bench.
void TBenchWindow::keyPressEvent(QKeyEvent* event) {
  if (FBench.Mode() != 0 || event->text().isEmpty()) {
    QWidget::keyPressEvent(event);
    return;
  }
  // A keyword completed chooses the mode, or says in the header why not.
  for (QChar c : event->text())
    if (FBench.Key(c.unicode() <= 0xFF ? std::uint8_t(c.unicode()) : 0)) break;
  Draw();
  event->accept();
}

void TBenchWindow::Tick() {
  FBench.Look();
  Draw();
  if (FBench.CloseDue()) close();
}

void TBenchWindow::SetContinuous(bool on) {
  if (ContinuousBox->isChecked() != on) ContinuousBox->setChecked(on);
  FBench.SetContinuous(on);
  Draw();
}

// A close while blocks go out asks first; then every station is stopped and
// the window closes at the look after the last of them ended.
void TBenchWindow::closeEvent(QCloseEvent* event) {
  const TBenchClose step = FBench.Close(FAskWhileSending);
  if (step == TBenchClose::Now) {
    event->accept();
    return;
  }
  event->ignore();
  if (step == TBenchClose::Wait) return;
  if (step == TBenchClose::Ask) {
    QMessageBox box(QMessageBox::Question, "stb-bench", QString::fromLatin1(kStopQuestion),
                    QMessageBox::Yes | QMessageBox::No, this);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    if (box.exec() != QMessageBox::Yes) return;
  }
  FBench.StopForClose();
  Draw();
  if (FBench.CloseDue()) close();
}

void TBenchWindow::CloseWithoutAsking() {
  FAskWhileSending = false;
  close();
}

void TBenchWindow::Draw() {
  const TBenchHead& head = FBench.Head();
  SetText(Header, head.Header);
  SetText(ImageLine, head.ImageLine);
  SetText(DigestLine, head.DigestLine);
  if (head.Problem)
    for (QLabel* line : {Header, ImageLine, DigestLine}) Colour(line, Qt::red);
  for (std::size_t i = 0; i < FCells.size(); ++i) DrawRow(FCells[i], FBench.RowText(i));
  SetText(Totals, FBench.TotalsText());
  if (const QString causes = QString::fromStdString(FBench.CauseTotalsText()); Totals->toolTip() != causes)
    Totals->setToolTip(causes);
}

void TBenchWindow::DrawRow(TRowCells& cells, const TBenchRowText& row) {
  QLabel* result = cells.Labels[TBenchRowText::Result];
  for (std::size_t l = 0; l < row.Labels.size(); ++l)
    if (l != TBenchRowText::Result) SetText(cells.Labels[l], row.Labels[l]);
  // A reason longer than its column ends in an ellipsis; the whole of it
  // is over every cell of the row.
  if (const std::string& text = row.Labels[TBenchRowText::Result]; text != cells.Result) {
    cells.Result = text;
    const int width = kLabelWidths[TBenchRowText::Result];
    result->setText(result->fontMetrics().elidedText(Text(text), Qt::ElideRight, width));
  }
  if (row.Reason != cells.Reason) {
    cells.Reason = row.Reason;
    const QString tip = Text(row.Reason);
    for (QLabel* label : cells.Labels) label->setToolTip(tip);
    for (QWidget* w : {static_cast<QWidget*>(cells.Download), static_cast<QWidget*>(cells.Flash)}) w->setToolTip(tip);
    if (cells.Tick != nullptr) cells.Tick->setToolTip(tip);
  }
  Colour(result, row.Success ? QColor(0, 0x80, 0) : QColor(0xC0, 0, 0));
  SetBar(cells.Download, row.DownloadPercent);
  SetBar(cells.Flash, row.FlashPercent);
  if (cells.Tick != nullptr) {
    const bool on = row.Tick == TBenchRowText::TTick::On;
    if (cells.Tick->isChecked() != on) cells.Tick->setChecked(on);
    if (cells.Tick->isEnabled() == row.TickLocked) cells.Tick->setEnabled(!row.TickLocked);
  }
  // A port left unticked is greyed, the check box with it.
  for (QLabel* label : cells.Labels)
    if (label->isEnabled() != row.InUse) label->setEnabled(row.InUse);
  for (QProgressBar* bar : {cells.Download, cells.Flash})
    if (bar->isEnabled() != row.InUse) bar->setEnabled(row.InUse);
}
