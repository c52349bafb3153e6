// The windows in the guest, offscreen, on the kernel's own drivers: the
// download window and the bench, each typed its keyword and followed by the
// rig's scenarios through the lines this program writes.
//
//   rig-faces window PORT KEYWORD OUT   the window on PORT; OUT gets
//                                       "calling" once it calls a receiver
//                                       in the mode chosen, "lost <strip>"
//                                       when the port went away, "open"
//                                       when it is open again, and "closed
//                                       <result>" at the end
//   rig-faces window-choose PORT CHOSEN KEYWORD OUT
//                                       the same, but first the strip's
//                                       list of ports is opened (F4): OUT
//                                       gets "list <line> | <line>..." and
//                                       the line of the device CHOSEN is
//                                       chosen before the keyword is typed
//   rig-faces bench STATION KEYWORD OUT PROGRESS PORT...
//                                       the bench with a row per PORT, each
//                                       served by STATION; PROGRESS gets the
//                                       last row's bytes as progress lines;
//                                       OUT one line per row at the end:
//                                       "<port> <ok|failed> <text>"
// The exit status is the program's: 0 success, 1 failure, 2 no download.
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <fstream>
#include <iostream>
#include <string>
#include <vector>

#include "BenchWindow.h"
#include "DownloadRecord.h"
#include "MainFrm.h"
#include "PortListMenu.h"
#include "StatusText.h"

namespace {

void Say(const std::string& path, const std::string& line) {
  std::ofstream(path, std::ios::app) << line << '\n' << std::flush;
}

// Every box the windows raise is answered as an operator would: OK, and No
// to a question (a download is never given up here).
void AnswerDialogs() {
  auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
  if (box == nullptr) return;
  if (QAbstractButton* no = box->button(QMessageBox::No)) no->click();
  else box->accept();
}

// The strip's list of ports, once it is up: its lines go to OUT, and the
// line of the device `chosen` is chosen (none there: the list is closed).
void AnswerPortList(const std::string& chosen, const std::string& out) {
  QMenu* list = PortListUp();
  if (list == nullptr) return;
  std::string lines;
  for (QAction* item : PortListLines(*list)) lines += (lines.empty() ? "" : " | ") + item->text().toStdString();
  Say(out, "list " + lines);
  ChooseFromPortList(*list, [&chosen](const QAction& item) {
    const std::string text = item.text().toStdString();
    return text == chosen || text.rfind(chosen + " ", 0) == 0;
  });
}

int Window(const std::string& port, const std::string& keyword, const std::string& out,
           const std::string& chosen = {}) {
  // Up before the window: a port that does not open is said in a box at once.
  QTimer lists;
  QObject::connect(&lists, &QTimer::timeout, [&] {
    AnswerDialogs();
    AnswerPortList(chosen, out);
  });
  lists.start(20);
  TForm1 form(port);
  form.show();
  if (!chosen.empty()) QTest::keyClick(form.RxMemo, Qt::Key_F4);
  for (char c : keyword) form.KeyTyped(std::uint8_t(c));
  TPortState last = form.State().PortState;
  bool calling = false;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    const TRunState& s = form.State();
    if (!calling && s.Phase == TRunPhase::Probing && s.Mode != 0 && s.PortState == TPortState::Open) {
      calling = true;
      Say(out, "calling");
    }
    if (s.PortState != last) {
      last = s.PortState;
      if (s.PortState == TPortState::Lost) Say(out, "lost " + StripOf(s).Text);
      if (s.PortState == TPortState::Open) Say(out, "open");
    }
    if (!form.isVisible()) QApplication::quit();
  });
  look.start(20);
  QApplication::exec();
  Say(out, std::string("closed ") + ResultName(form.DownloadResult()));
  return ExitStatus(form.DownloadResult());
}

int Bench(const std::string& station, const std::string& keyword, const std::string& out,
          const std::string& progress, const std::vector<std::string>& ports) {
  TBenchOptions options;
  options.Ports = ports;
  options.StationProgram = station;
  TBenchWindow window(options);
  window.show();
  QTest::keyClicks(&window, QString::fromStdString(keyword));
  const int watched = window.RowCount() - 1;
  std::int64_t told = -1;
  QTimer look;
  QObject::connect(&look, &QTimer::timeout, [&] {
    const TBenchRow& row = window.Row(watched);
    if (row.Bytes() != told) {
      told = row.Bytes();
      Say(progress, "{\"event\":\"progress\",\"phase\":\"download\",\"percent\":" +
                        std::to_string(row.DownloadPercent()) + ",\"bytes\":" + std::to_string(told) + "}");
    }
    if (window.Mode() != 0 && window.Idle()) QApplication::quit();
  });
  look.start(20);
  QApplication::exec();
  int status = 2;
  for (int i = 0; i < window.RowCount(); ++i) {
    const TBenchRow& row = window.Row(i);
    const bool ok = row.Result() == TRowResult::Success;
    Say(out, row.Port() + (ok ? " ok " : " failed ") + row.ResultText());
    status = ok ? (status == 2 ? 0 : status) : 1;
  }
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 4 && args[0] == "window") return Window(args[1], args[2], args[3]);
  if (args.size() == 5 && args[0] == "window-choose") return Window(args[1], args[3], args[4], args[2]);
  if (args.size() >= 6 && args[0] == "bench")
    return Bench(args[1], args[2], args[3], args[4], std::vector<std::string>(args.begin() + 5, args.end()));
  std::cerr << "usage: rig-faces window PORT KEYWORD OUT | window-choose PORT CHOSEN KEYWORD OUT | bench STATION KEYWORD OUT PROGRESS PORT...\n";
  return 2;
}
