// What the exchange needs of the window. The core owns these interfaces;
// each window toolkit implements them.
#pragma once

#include <string>

// Handles the window messages that are pending, once, without waiting. The
// block loop calls it once per block, so the window repaints and its timers
// run between blocks.
class TMessagePump {
public:
  virtual ~TMessagePump() = default;
  virtual void ProcessPendingMessages() = 0;
};

// What the exchange needs of the window.
class TDownloadView : public TMessagePump {
public:
  virtual void AppendLog(const std::string& line) = 0;
  virtual void SetTransferProgress(int percent) = 0;  // ProgressBar1
  virtual void SetFlashProgress(int percent) = 0;     // ProgressBar2
  virtual void SetByteCounter(const std::string& text) = 0;  // Label4
  virtual void StartBusyAnimation() = 0;
  virtual void StopBusyAnimation() = 0;
  virtual void StopProbeTimer() = 0;
  virtual void ShowMessage(const std::string& text) = 0;      // modal, OK
  virtual bool ConfirmYesNo(const std::string& text) = 0;     // modal; true for Yes
  virtual void ShowInformation(const std::string& text) = 0;  // modal, OK
  // True once the operator has asked to close the window during a download.
  virtual bool CloseRequested() const = 0;
  virtual void CloseWindow() = 0;
};

