// What the exchange needs of the run that hands it the port: the log, the
// bars and the counter, the dialogs, the once-per-block message handling,
// and the moments a record and a face are made of. The core's run
// (TDownloadConsole) implements it; a test can record it.
#pragma once

#include <cstdint>
#include <string>

#include "DeviceCheck.h"
#include "DownloadJob.h"
#include "DownloadResult.h"

// Handles the window messages that are pending, once, without waiting. The
// block loop calls it once per block, so the window repaints and its timers
// run between blocks.
class TMessagePump {
public:
  virtual ~TMessagePump() = default;
  virtual void ProcessPendingMessages() = 0;
};

class TDownloadView : public TMessagePump {
public:
  virtual void AppendLog(const std::string& line) = 0;
  // A numbered step's line (1. to 7.), logged here in place of AppendLog.
  virtual void AppendStep(int step, const std::string& line) { AppendLog(line); (void)step; }
  virtual void SetTransferProgress(int percent) = 0;  // ProgressBar1
  virtual void SetFlashProgress(int percent) = 0;     // ProgressBar2
  // Label4: the bytes the receiver accepted of the image's whole blocks.
  virtual void SetByteCounter(std::int64_t sent, std::int64_t total) = 0;
  virtual void StartBusyAnimation() = 0;
  virtual void StopBusyAnimation() = 0;
  virtual void StopProbeTimer() = 0;
  virtual void ShowMessage(const std::string& text) = 0;      // modal, OK
  virtual bool ConfirmYesNo(const std::string& text) = 0;     // modal; true for Yes
  virtual void ShowInformation(const std::string& text) = 0;  // modal, OK
  // True once the operator has asked to close the window during a download.
  virtual bool CloseRequested() const = 0;
  virtual void CloseWindow() = 0;

  // The moments of a download. Every call returns at once: none may hold up
  // the exchange or handle the operator's input.
  // The receiver answered the mode word: from here on there is a download.
  virtual void Reached(std::uint8_t /*mode*/, const TDownloadJob& /*job*/) {}
  // The receiver's identification; its download address once it came.
  virtual void Identified(const TDeviceInfo& /*info*/, bool /*addressRead*/) {}
  virtual void TransferStarting(std::int32_t /*blockCount*/) {}
  virtual void BlockAccepted(std::int32_t /*done*/, std::int32_t /*blockCount*/) {}
  virtual void BlockResent(std::int32_t /*block*/) {}
  // The receiver has been silent this long where the exchange waits for it:
  // reported about once a second after the first second. A window may repaint
  // here, and nothing more.
  virtual void Waiting(const char* /*stage*/, std::uint32_t /*silentMs*/) {}
  // The device went away while the receiver was being probed (said once,
  // after its log line). Nothing more is sent until the line is back; the
  // probe timer goes on ticking unless the listener stops it.
  virtual void LineLost() {}
  // The download is over, before its closing message is shown. `reason`
  // names a failure the log has no line for.
  virtual void Ended(TDownloadResult /*result*/, const std::string& /*reason*/) {}
};
