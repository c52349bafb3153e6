// What the window does the same whatever toolkit draws it: the components
// and the state of one run, the keys and the description file, the probe
// tick handed to the exchange, the close decision, the log (recorded, then
// shown), the status strip's text and colour, the port's state, and the pace
// at which a running transfer is painted. The Qt and the Win32 TForm1 derive
// from it and add their controls, dialogs, timers and message handling: they
// draw and ask, this decides.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <string>

#include "Download.h"
#include "DownloadJob.h"
#include "DownloadObserver.h"
#include "DownloadRecord.h"
#include "DownloadView.h"
#include "FormLayout.h"
#include "ModeSelect.h"
#include "PollTimer.h"

class TSerialPortDriver;

// What the strip under the log says, and how.
struct TStripState {
  std::string Text;        // the port, then what the download is doing
  std::string PortText;    // the port's part alone
  bool Warning = false;    // the port is not open
};

// The modal boxes a window shows: what each says comes with the call, how it
// looks (icon, buttons, the default answer) is the kind's.
enum class TDialog {
  Message,       // OK
  Information,   // OK, an information icon
  YesNo,         // a question; true for Yes
  StopQuestion,  // kStopQuestion; No unless chosen
  ConnectError,  // kConnectError, with the system's reason as its detail
};

class TDownloadConsole : protected TDownloadView, protected TDownloadObserver {
public:
  TDownloadConsole(const TDownloadConsole&) = delete;
  TDownloadConsole& operator=(const TDownloadConsole&) = delete;

  // Components, named as the operator's manual names them.
  TSerialPortDriver* SerialPortDriver1 = nullptr;
  TPollTimer* Timer1 = nullptr;

  // The state of one run.
  std::uint8_t DownloadMode = 0;
  TDownloadJob DownloadJob;
  bool DownloadJobReady = false;  // the description was read to its end
  TKeywordSlots KeywordSlots{};
  // The receiver's identification, as the handshake read it.
  const TDeviceInfo& DeviceInfo() const { return FDownload->DeviceInfo(); }
  // The last download's result, none when no download reached a receiver.
  const std::optional<TDownloadResult>& DownloadResult() const { return FRecorder->Result(); }
  const TDownloadRecorder& Recorder() const { return *FRecorder; }
  TDownload& Download() { return *FDownload; }
  // What the exchange sees of the window: the bars, the counter, the log.
  TDownloadView& View() { return *this; }

  // The device COM1 is on, and whether it is open.
  const std::string& PortDevice() const { return FPortDevice; }
  bool PortOpen() const;

  void RxMemoKeyPress(std::uint8_t& Key);
  void ReadDescriptionFile(const std::string& path);
  void Timer1Timer();
  // A character typed into the window: an error it raises is shown, and the
  // window carries on.
  void KeyTyped(std::uint8_t key);

  // The close decision, for every way the window can be asked to close:
  // true to close now. While a download runs the window stays and the
  // transfer is asked to stop at its next block; while blocks go out the
  // operator is asked first, unless NoStopQuestion came before.
  bool CloseQuery();
  // For a signal: from now on a close stops a download at its next block
  // without asking anybody.
  void NoStopQuestion() { FCloseWithoutAsking = true; }

  // TDownloadView: the log is recorded first, then shown.
  void AppendLog(const std::string& line) final;

protected:
  TDownloadConsole();
  ~TDownloadConsole() override;

  // SerialPortDriver1 on COM1 at 115200 bit/s on `port` (empty: the device
  // COM1 maps to), with its receive poll on pollTimer, Timer1 on probeTimer,
  // the exchange and the record. Called once, before the first line is
  // logged: the record keeps the whole log.
  void CreateComponents(const std::string& port, std::unique_ptr<TPollTimer> pollTimer,
                        std::unique_ptr<TPollTimer> probeTimer);
  // The start of the run, once the controls exist: the mode matcher at its
  // start, the port opened (or the failure shown), the directions, the probe.
  void FormCreate();
  // Ends the run's components: the poll and the port first, while the
  // window's controls still exist.
  void DestroyComponents();

  // --- the toolkit's part ---
  virtual void ShowLogLine(const std::string& line) = 0;
  virtual void DrawTransferProgress(int percent) = 0;          // ProgressBar1
  virtual void DrawFlashProgress(int percent) = 0;             // ProgressBar2
  virtual void DrawByteCounter(const std::string& text) = 0;   // Label4
  virtual void DrawStrip(const TStripState& strip) = 0;
  // While held, what changes is not painted; on release what changed is.
  virtual void HoldPainting(bool hold) = 0;
  virtual void PaintNow() = 0;                                  // paint, handling no other message
  virtual void PumpMessages() = 0;                              // what is pending, once
  virtual void DrawBusy(bool playing) = 0;                      // Animate1
  virtual void ShowErrorText(const char* text) = 0;             // as the application's handler does
  // Modal; true for Yes. The text is Latin-1, as the log's; the detail UTF-8.
  virtual bool ShowDialog(TDialog kind, const std::string& text, const std::string& detail = {}) = 0;
  virtual void DestroyForm() = 0;                               // the window goes, now
  // Whether the port's device, gone while probing, is waited for (true) or
  // the run ends with a message naming it.
  virtual bool WaitsForLostPort() const { return true; }
  // The receiver's identification, and again once its address came; the
  // windows show it in the log only.
  virtual void ShowReceiver(const TDeviceInfo& /*info*/, bool /*addressRead*/) {}

  // A file error's detail goes into the log first, then the error's text is shown.
  void ShowError(const std::exception& e);
  bool Transferring() const { return FTransferring; }

  std::unique_ptr<TSerialPortDriver> FSerialPortDriver;
  std::unique_ptr<TPollTimer> FTimer1;
  std::unique_ptr<TDownload> FDownload;
  std::unique_ptr<TDownloadRecorder> FRecorder;

private:
  // TDownloadView
  void SetTransferProgress(int percent) final;
  void SetFlashProgress(int percent) final;
  void SetByteCounter(const std::string& text) final;
  void StartBusyAnimation() final { DrawBusy(true); }
  void StopBusyAnimation() final { DrawBusy(false); }
  void StopProbeTimer() final;
  void ShowMessage(const std::string& text) final;
  bool ConfirmYesNo(const std::string& text) final;
  void ShowInformation(const std::string& text) final;
  void ProcessPendingMessages() final;
  bool CloseRequested() const final { return FCloseRequested; }
  void CloseWindow() final;

  // TDownloadObserver
  void Reached(std::uint8_t mode, const TDownloadJob& job) override;
  void Identified(const TDeviceInfo& info, bool addressRead) override;
  void TransferStarting(std::int32_t blockCount) override;
  void BlockAccepted(std::int32_t done, std::int32_t blockCount) override;
  void BlockResent(std::int32_t block) override;
  void Waiting(const char* stage, std::uint32_t silentMs) override;
  void LineLost() override;
  void Ended(TDownloadResult result, const std::string& reason) override;

  void ShowPort();
  void ShowActivity(const std::string& text);
  void StopPacing();
  void DrawHeldValues();

  std::string FPortDevice;
  TStripState FStrip;
  bool FTransferring = false;
  std::chrono::steady_clock::time_point FTransferStart;
  bool FPortNotOpenLogged = false;
  bool FWaitingForPort = false;  // the device went away while probing; each tick looks for it
  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FCloseWithoutAsking = false;
  bool FAsking = false;
  // The pace of painting while blocks go out.
  bool FPacing = false;
  bool FHeld = false;
  bool FFinalDue = false;
  std::chrono::steady_clock::time_point FLastPaint;
  // What changed while painting was held, for the next paint.
  struct THeldRate {
    std::int32_t Done, BlockCount;
    double Seconds;
  };
  std::optional<std::string> FHeldCounter;
  std::optional<THeldRate> FHeldRate;
};

// At most this often a running transfer's bars, counter, strip and busy
// animation are painted: about twice a second, which a person reads with
// ease. Each paint costs the window more than all the rest of a block; at
// this pace the window spends less than a third of a percent of a core on a
// transfer at 115200 bit/s.
inline constexpr std::chrono::milliseconds kPaintInterval{500};
