// The face without a window: one download from a shell, a script or a test
// rig. The log goes to standard output a line at a time, exactly the
// window's texts (or, with --json, one JSON event a line); every message box
// becomes a line on standard error; on a terminal one progress line redraws
// in place on standard error. The keyword is read with echo off, or as the
// first line of standard input when that is no terminal.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "DownloadConsole.h"
#include "TerminalLoop.h"

struct TTerminalOptions {
  std::string Port;  // empty: the device COM1 maps to
  bool Json = false;
  // The answer to the download address question where nobody can be asked:
  // none means stop (unless a terminal is there to ask).
  std::optional<bool> ContinueOnAddressMismatch;
};

class TTerminalFace : public TDownloadConsole {
public:
  explicit TTerminalFace(const TTerminalOptions& options);
  ~TTerminalFace() override;

  // The whole run: the directions, the keyword, the probe, the download;
  // returns the program's exit status.
  int Run();

protected:
  void ShowLogLine(const std::string& line) override;
  void DrawTransferProgress(int percent) override;
  void DrawFlashProgress(int percent) override;
  void DrawByteCounter(const std::string& text) override;
  void DrawStrip(const TStripState& strip) override;
  void HoldPainting(bool) override {}
  void PaintNow() override;
  void PumpMessages() override;
  void DrawBusy(bool) override {}
  void ShowErrorText(const char* text) override;
  bool ShowDialog(TDialog kind, const std::string& text, const std::string& detail) override;
  void DestroyForm() override;
  void ShowReceiver(const TDeviceInfo& info, bool addressRead) override;
  // Nobody at a script's side can plug the adapter back in.
  bool WaitsForLostPort() const override { return false; }

private:
  void AskForKeyword();
  void KeywordInput();
  void TakeKeywordLine(const std::string& line);
  void OnInterrupt();
  bool AskYesNo(const std::string& question);
  void Emit(const std::string& json);
  void ShowProgress(bool force);
  void EmitProgress(bool due);
  void DrawProgressLine();
  void ClearProgressLine();
  void End(int status);

  TTerminalOptions FOptions;
  TTerminalLoop FLoop;
  bool FInputIsTerminal = false;
  bool FErrIsTerminal = false;
  std::string FInputLine;
  std::optional<int> FEndStatus;

  // The progress as the window would show it.
  std::string FPhase = "download";
  int FTransferPercent = 0;
  int FFlashPercent = 0;
  std::string FByteCounter;
  std::string FActivity;
  std::string FStage;
  bool FProgressShown = false;
  std::size_t FProgressWidth = 0;
  std::chrono::steady_clock::time_point FLastProgress;
  std::string FLastProgressSent;
};
