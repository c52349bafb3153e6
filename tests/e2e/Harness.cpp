#include "Harness.h"

#include <QAbstractButton>
#include <QFontMetrics>
#include <QApplication>
#include <QMenu>
#include <QPainter>
#include <QMessageBox>
#include <QTest>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <random>
#include <stdexcept>

#include "PortChoice.h"
#include "PortListMenu.h"

namespace {

// The tester's own remembered port is not the bench's.
class TNothingRemembered : public TPortMemory {
public:
  std::optional<std::string> Remembered() const override { return std::nullopt; }
  void Remember(const std::string&) override {}
};

}  // namespace

std::string WindowPort() { return ChoosePort(std::nullopt, ProcessEnvironment, TNothingRemembered{}).Device; }

const char* const kKeywords[9] = {"",       "Q7m#Lz", "W4n!Rk", "E1p%Tx", "Y2s&Gv",
                                  "U5d*Hc", "I6f+Jb", "O8g=Ka", "P9h?Mw"};

std::string JobFile::Text() const {
  std::string out;
  for (const std::string* line : {&Oui, &Model, &Hardware, &Bootloader, &Native, &App1, &App2, &Date, &Spare, &Image,
                                  &Selector, &Address})
    out += *line + "\r\n";
  return out;
}

Workbench::Workbench() {
  char tmpl[] = "/tmp/stb-e2e-XXXXXX";
  if (!mkdtemp(tmpl)) throw std::runtime_error("mkdtemp failed");
  FDir = tmpl;
  std::filesystem::create_directory(FDir / "inc");
  // Download records go into the bench, never into the tester's home.
  setenv("XDG_STATE_HOME", (FDir / "state").c_str(), 1);
  FOldCwd = std::filesystem::current_path();
  std::filesystem::current_path(FDir);
}

ConfigInBench::ConfigInBench(const std::filesystem::path& dir) {
  if (const char* old = std::getenv("XDG_CONFIG_HOME")) FOld = old;
  setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
}

ConfigInBench::~ConfigInBench() {
  if (FOld)
    setenv("XDG_CONFIG_HOME", FOld->c_str(), 1);
  else
    unsetenv("XDG_CONFIG_HOME");
}

Workbench::~Workbench() {
  std::error_code ec;
  std::filesystem::current_path(FOldCwd, ec);
  std::filesystem::remove_all(FDir, ec);
}

DownloadRun::DownloadRun(const RunSetUp& setUp)
    : Mode(setUp.Mode), Image([this, &setUp] {
        if (setUp.WriteDescription) Bench.WriteJob(setUp.Mode, setUp.Job);
        return Bench.WriteImage(setUp.Job.Image, setUp.ImageBytes, setUp.Seed);
      }()),
      S(setUp.Receiver) {}

void DownloadRun::Start() {
  S.Open();
  S.Type(kKeywords[Mode]);
}

void Workbench::WriteJob(std::uint8_t mode, const JobFile& job) {
  std::ofstream(FDir / ModeInfo(mode).DescriptionFile, std::ios::binary) << job.Text();
}

std::vector<std::uint8_t> Workbench::WriteImage(const std::string& name, std::size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::vector<std::uint8_t> bytes(size);
  for (auto& b : bytes) b = std::uint8_t(rng());
  std::ofstream(FDir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(size));
  return bytes;
}

Session::Session(const stbsim::Config& cfg) : FRx(std::make_unique<stbsim::Receiver>(cfg)) {
  std::string error;
  if (!FRx->OpenPty(&error)) throw std::runtime_error("receiver pty: " + error);
  setenv("COM1", FRx->ConsolePath().c_str(), 1);
  FRx->Start();
  Init();
}

Session::Session() : FPty(std::make_unique<PtyPair>()) {
  setenv("COM1", FPty->NearPath().c_str(), 1);
  Init();
}

void Session::Init() {
  FDialogTimer.setInterval(20);
  QObject::connect(&FDialogTimer, &QTimer::timeout, [this] { AnswerDialogs(); });
  FDialogTimer.start();
}

Session::~Session() {
  FDialogTimer.stop();
  FForm.reset();
  if (FRx) FRx->Stop();
}

void Session::Open() {
  FForm = std::make_unique<TForm1>(WindowPort());
  FForm->Download().SetSilenceLimitMs(SilenceLimitMs);
  FForm->show();
}

void Session::Type(const std::string& text) {
  for (char c : text) QTest::keyClicks(FForm->RxMemo, QString(QChar::fromLatin1(c)));
}

// With SHOTS naming a folder: the window with its list of ports over it, as
// port-list.png there.
static void SavePortListShot(QWidget& window, QWidget& list) {
  const char* folder = std::getenv("SHOTS");
  if (folder == nullptr || *folder == 0) return;
  const QRect listAt(window.mapFromGlobal(list.mapToGlobal(QPoint(0, 0))), list.size());
  const QRect all = window.rect().united(listAt);
  QImage shot(all.size(), QImage::Format_RGB32);
  shot.fill(Qt::darkGray);
  QPainter paint(&shot);
  paint.drawPixmap(-all.topLeft(), window.grab());
  paint.drawPixmap(listAt.topLeft() - all.topLeft(), list.grab());
  paint.end();
  std::filesystem::create_directories(folder);
  shot.save(QString::fromStdString((std::filesystem::path(folder) / "port-list.png").string()));
}

// The list is a menu that drops up from the strip.
bool Session::AnswerPortList() {
  QMenu* list = PortListUp();
  if (list == nullptr) return false;
  SavePortListShot(*FForm, *list);
  ShownPortList shown{{}, FForm->Timer1->Active(), list->width(), 0};
  for (QAction* item : list->actions())
    if (item->isSeparator() && !item->text().isEmpty())
      shown.TitleWidth = std::max(shown.TitleWidth, QFontMetrics(list->font()).horizontalAdvance(item->text()));
  for (QAction* item : PortListLines(*list))
    shown.Lines.push_back((item->isChecked() ? "[x] " : !item->isEnabled() ? "(-) " : "") + item->text().toStdString());
  PortLists.push_back(shown);
  const auto wanted = [this](const QAction& item) {
    return !PickPortLine.empty() && item.text().toStdString().rfind(PickPortLine, 0) == 0;
  };
  if (ClickPortLine) {
    for (QAction* item : PortListLines(*list)) {
      if (!item->isEnabled() || !wanted(*item)) continue;
      QTest::mouseClick(list, Qt::LeftButton, {}, list->actionGeometry(item).center());
      return true;
    }
  }
  ChooseFromPortList(*list, wanted);
  return true;
}

void Session::AnswerDialogs() {
  if (FForm && AnswerPortList()) return;
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr || box == FLastDialog) return;
  FLastDialog = box;
  Dialogs.push_back(box->text().toStdString());
  DialogDetails.push_back(box->informativeText().toStdString());
  if (QAbstractButton* yes = box->button(QMessageBox::Yes)) {
    if (CloseAtQuestion) FForm->close();
    (AnswerYes ? yes : box->button(QMessageBox::No))->click();
  } else if (QAbstractButton* ok = box->button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box->accept();
  }
}

bool Session::RunUntilClosed(int timeoutMs) {
  return RunUntil([this] { return Closed(); }, timeoutMs);
}

bool Session::PortFree() const {
  TSerialPortDriver probe;
  probe.SetComPortDevice(WindowPort());
  const bool opened = probe.Connect();
  probe.Disconnect();
  return opened;
}

int DescriptorsOn(const std::string& path) {
  int n = 0;
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd", ec)) {
    std::error_code rec;
    if (std::filesystem::read_symlink(e.path(), rec) == path) ++n;
  }
  return n;
}

void Session::RunFor(int ms) { QTest::qWait(ms); }

std::vector<std::string> Session::Log() const {
  std::vector<std::string> lines;
  if (!FForm) return lines;
  for (const QString& l : FForm->RxMemo->toPlainText().split('\n')) lines.push_back(l.toStdString());
  return lines;
}

std::vector<std::uint8_t> Padded(std::vector<std::uint8_t> image) {
  image.resize((image.size() + 1023) / 1024 * 1024, 0);
  return image;
}

bool Contains(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

std::vector<std::string> FinalRecords(const std::filesystem::path& path) {
  std::vector<std::string> lines = FileLines(path);
  std::erase_if(lines, [](const std::string& l) { return l.find("\"result\":\"running\"") != std::string::npos; });
  return lines;
}

std::vector<std::string> FileLines(const std::filesystem::path& path) {
  std::ifstream in(path);
  std::vector<std::string> out;
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}
