// One whole download judged from outside: the simulated receiver on its own
// thread at the far end of a pty, the real window on the near end. Unlike the
// end-to-end Session, the window can be destroyed while the receiver still
// holds its end, so that what the window leaves behind on the port shows.
#pragma once

#include <QPointer>
#include <QTimer>

#include <memory>
#include <string>
#include <vector>

#include "MainFrm.h"
#include "Receiver.h"

class Rig {
public:
  explicit Rig(const stbsim::Config& cfg);
  ~Rig();
  Rig(const Rig&) = delete;
  Rig& operator=(const Rig&) = delete;

  void Open(std::uint32_t silenceLimitMs);
  void Type(const std::string& text);
  // Runs the message loop until the window has closed or timeoutMs passed.
  bool RunUntilClosed(int timeoutMs);
  // Runs it until `done` holds or timeoutMs passed.
  template <class F>
  bool RunUntil(F done, int timeoutMs);
  void RunFor(int ms);

  TForm1& Form() { return *FForm; }
  bool HasForm() const { return FForm != nullptr; }
  bool Closed() const { return FForm && !FForm->isVisible(); }
  std::vector<std::string> Log() const;
  void DestroyForm();
  // True when a new component can open the receiver's pty now.
  bool PortFree() const;

  stbsim::Receiver& Rx() { return *FRx; }
  std::string PortPath() const { return FRx->ConsolePath(); }

  std::vector<std::string> Dialogs;
  bool AnswerYes = false;

private:
  void AnswerDialogs();
  bool Step();

  std::unique_ptr<stbsim::Receiver> FRx;
  std::unique_ptr<TForm1> FForm;
  QTimer FDialogTimer;
  QPointer<QWidget> FLastDialog;
};

template <class F>
bool Rig::RunUntil(F done, int timeoutMs) {
  for (int waited = 0; !done(); waited += 10) {
    if (waited >= timeoutMs) return false;
    RunFor(10);
  }
  return true;
}
