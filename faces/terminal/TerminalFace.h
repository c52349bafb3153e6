// The face without a window: one download from a shell, a script or a test
// rig. The log goes to standard output a line at a time, exactly the
// window's texts (or, with --json, one JSON event a line); every message box
// becomes a line on standard error; on a terminal one progress line redraws
// in place on standard error. The keyword is read with echo off, or as the
// first line of standard input when that is no terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "DownloadConsole.h"
#include "Events.h"
#include "TerminalLoop.h"

struct TTerminalOptions {
  std::string Port;  // empty: the device COM1 maps to
  bool Json = false;
  std::string Trace;  // the file of the whole run's wire trace; empty: none
  // The answer to the download address question where nobody can be asked:
  // none means stop (unless a terminal is there to ask).
  std::optional<bool> ContinueOnAddressMismatch;
  // --wait-for-box: the run ends (status 2) when no box has answered the
  // probe this many seconds after the mode was chosen; none: it probes on.
  std::optional<int> WaitForBoxSeconds;
};

class TTerminalFace : public TDownloadConsole {
public:
  explicit TTerminalFace(const TTerminalOptions& options);
  ~TTerminalFace() override;

  // The whole run: the directions, the keyword, the probe, the download;
  // returns the program's exit status.
  int Run();

protected:
  // TFace
  void ShowState(const TRunState& state) override;
  void AddLogLine(const std::string& line) override;
  bool Ask(TDialog kind, const std::string& text, const std::string& detail) override;
  void Pump() override;
  // Nobody at a script's side can plug the adapter back in.
  bool WaitsForLostPort() const override { return false; }
  std::chrono::milliseconds PaintInterval() const override;

private:
  void AskForKeyword();
  void KeywordInput();
  void TakeKeywordLine(const std::string& line);
  void OnInterrupt(bool terminate);
  bool AnswerYesNo(const std::string& question, const std::string& detail);
  void Emit(const TEvent& event);
  void EmitProgress(const TRunState& state, bool last);
  void DrawProgressLine();
  void ClearProgressLine();
  void End(int status);
  void StartWaitingForBox();
  void NoBoxAnswered();

  TTerminalOptions FOptions;
  TTerminalLoop FLoop;
  bool FInputIsTerminal = false;
  bool FErrIsTerminal = false;
  std::string FInputLine;
  std::optional<int> FEndStatus;
  std::unique_ptr<TPollTimer> FBoxWait;

  // What was last shown of the state, so that each change is told once.
  TRunState FShown;
  bool FProgressTold = false;
  TEvent FLastProgress;
  std::chrono::steady_clock::time_point FLastProgressAt;
  bool FProgressShown = false;
  std::size_t FProgressWidth = 0;
};
