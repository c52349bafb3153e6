// The run as every face shares it, whatever draws it: the components and
// the state of one run, the keys and the description file, the probe tick
// handed to the exchange, the close decision, the log (recorded, then
// shown), the port's state and the pace at which a running transfer is
// shown. It keeps one typed TRunState and hands it to its face (TFace) when
// something worth drawing changed; the Qt and the Win32 TForm1 and the
// terminal face derive from it and implement the face: they draw and ask,
// this decides.
#pragma once

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Download.h"
#include "DownloadJob.h"
#include "DownloadRecord.h"
#include "DownloadView.h"
#include "Face.h"
#include "ModeChoice.h"
#include "PollTimer.h"
#include "PortClaim.h"
#include "PortList.h"
#include "PortMemory.h"
#include "RunState.h"
#include "WireTrace.h"

class TSerialPortDriver;

class TDownloadConsole : protected TDownloadView, protected TFace {
public:
  TDownloadConsole(const TDownloadConsole&) = delete;
  TDownloadConsole& operator=(const TDownloadConsole&) = delete;

  // The components, under the system's own names: the serial port component
  // on COM1 and the one-second probe timer.
  TSerialPortDriver* SerialPortDriver1 = nullptr;
  TPollTimer* Timer1 = nullptr;

  // The run as the face is shown it.
  const TRunState& State() const { return FState; }
  // The mode chosen, 0 before; set once per run.
  std::uint8_t DownloadMode() const { return FModeChoice.Mode(); }
  const TDownloadJob& DownloadJob() const { return FModeChoice.Job(); }
  bool DownloadJobReady() const { return FModeChoice.JobReady(); }  // the description was read to its end
  // The receiver's identification, as the handshake read it.
  const TDeviceInfo& DeviceInfo() const { return FDownload->DeviceInfo(); }
  // The last download's result, none when no download reached a receiver.
  const std::optional<TDownloadResult>& DownloadResult() const { return FRecorder->Result(); }
  const TDownloadRecorder& Recorder() const { return *FRecorder; }
  TDownload& Download() { return *FDownload; }
  // What the exchange sees of the run: the bars, the counter, the log.
  TDownloadView& View() { return *this; }

  // The device COM1 is on, and whether it is open.
  const std::string& PortDevice() const { return FState.Port; }
  bool PortOpen() const;

  void RxMemoKeyPress(std::uint8_t& Key);
  // The chosen mode's description file.
  void ReadDescriptionFile();
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
  // How a stop asked for from now on is said in the log ("the window was
  // closed" unless a face says otherwise, as a signal does).
  void SetStopReason(std::string reason) { FStopReason = std::move(reason); }

  // The operator asks for the list of ports (a click on the strip's port,
  // F4). While no download runs the face shows the ports present, and the
  // one chosen takes COM1's place; while one runs the strip says why not.
  void PortListAsked();
  // COM1 on `name` (as the list or --port names it) from now on, with the
  // same settings: the device in use closed, the new one opened, the log
  // and the strip told, and the port remembered as --port's is when it
  // opened.
  void ChoosePortNamed(const std::string& name);
  // Where the list of ports comes from: the system's, unless a test gives its own.
  using TPortLister = std::function<std::vector<TSerialDevice>()>;
  void SetPortLister(TPortLister lister) { FPortLister = std::move(lister); }
  // Where a chosen port is remembered: this user's store, unless given another.
  void SetPortMemory(std::unique_ptr<TPortMemory> memory) { FPortMemory = std::move(memory); }

  // TDownloadView: the log is recorded first, then shown.
  void AppendLog(const std::string& line) final;

  // Why this run reaches no download (the port, the description, the
  // keyword, a stop before a receiver answered): the first said stands (but
  // port-held replaces no-port), and none is taken once a download reached
  // a receiver.
  void NoDownload(TFailureCause cause, const std::string& text);

protected:
  TDownloadConsole();
  ~TDownloadConsole() override;

  // SerialPortDriver1 on COM1 at 115200 bit/s on `port` (empty: the device
  // COM1 maps to), with its receive poll on pollTimer, Timer1 on probeTimer,
  // the exchange, the record and the wire trace (the whole run to
  // `tracePath` when one is named; a failed download's in any case). Called
  // once, before the first line is logged: the record keeps the whole log.
  void CreateComponents(const std::string& port, std::unique_ptr<TPollTimer> pollTimer,
                        std::unique_ptr<TPollTimer> probeTimer, const std::string& tracePath = {});
  // The start of the run, once the controls exist: the mode matcher at its
  // start, the port opened (or the failure shown), the directions, the probe.
  void FormCreate();
  // Ends the run's components: the poll and the port first, while the
  // window's controls still exist.
  void DestroyComponents();
  // The mode and its job as a description read them, for a run that was
  // not given its keyword (a test, a bench's station).
  void ChooseJob(std::uint8_t mode, const TDownloadJob& job);

  // The keyword matcher at its start: what was typed before is no half of
  // the next word.
  void ResetKeyword() { FModeChoice.Restart(); }
  // Whether the port's device, gone while probing, is waited for (true) or
  // the run ends with a message naming it.
  virtual bool WaitsForLostPort() const { return true; }
  // How often a running transfer is shown to the face.
  virtual std::chrono::milliseconds PaintInterval() const;
  // The clock the pace, the time left and the painting are measured on: the
  // monotonic one; a test that sets the time itself gives its own.
  virtual std::chrono::steady_clock::time_point Now() const { return std::chrono::steady_clock::now(); }

  // A file error's detail goes into the log first, then the error's text is shown.
  void ShowError(const std::exception& e);
  bool Transferring() const { return FTransferring; }

private:
  // TDownloadView
  void AppendStep(int step, const std::string& line) final;
  void ProbeAnswered() final;
  void Reached(std::uint8_t mode, const TDownloadJob& job) final;
  void Identified(const TDeviceInfo& info, bool addressRead) final;
  void Working(bool working) final;
  void TransferStarting(std::int32_t blockCount) final;
  void BlockAccepted(const TTransferProgress& progress) final;
  void BlockResent(std::int32_t block) final;
  void BlockGoingOut(std::int32_t block, bool resend) final;
  void BetweenBlocks() final;
  void FlashProgress(int percent) final;
  void Waiting(const char* stage, std::uint32_t silentMs) final;
  void LineLost() final;
  void Tell(const std::string& text) final;
  void Inform(const std::string& text) final;
  bool AskYesNo(const std::string& text) final;
  bool AskAboutAddresses(const std::string& text, const TAddressPair& addresses) final;
  void InformAboutDescription(const std::string& text) final;
  bool StopAsked() const final { return FCloseRequested; }
  std::string StopReason() const final { return FStopReason; }
  void Finished() final;
  void Ended(TDownloadResult result, const std::string& reason, const TFailure& failure) final;

  // The state changed: shown now, or at the next paint while blocks go out.
  void Changed();
  // Label4's bytes before the transfer: none, then the image's size.
  void SetCounter(std::int64_t sent, std::int64_t total);
  void ShowPort();
  // What the port's driver did not take, in the log.
  void LogPortWarnings();
  void SetPortChoosable(bool choosable);
  void StopPacing();
  // Trouble with the trace's file goes into the log, once.
  void TellTraceProblem();
  // A record that could not be written is said beside the log too: on
  // standard error, where a script or whoever started the window hears it.
  void SayRecordProblem(const std::string& line);

  // Outlives the port that tells it every byte.
  std::unique_ptr<TWireTrace> FTrace;
  TPortClaim FPortClaim;  // before the port, which gives it back as it goes
  std::unique_ptr<TSerialPortDriver> FSerialPortDriver;
  std::unique_ptr<TPollTimer> FTimer1;
  std::unique_ptr<TDownload> FDownload;
  std::unique_ptr<TDownloadRecorder> FRecorder;
  TPortLister FPortLister = SerialDevices;
  std::unique_ptr<TPortMemory> FPortMemory;

  TRunState FState;
  TModeChoice FModeChoice;  // DownloadMode, the keyword slots and the DownloadJob

  bool FTransferring = false;
  std::chrono::steady_clock::time_point FTransferStart;
  bool FPortNotOpenLogged = false;
  bool FWaitingForPort = false;  // the device went away while probing; each tick looks for it
  bool FCloseRequested = false;
  bool FClosingByDownload = false;
  bool FCloseWithoutAsking = false;
  std::string FStopReason = "the window was closed";
  bool FAsking = false;
  // The pace of showing while blocks go out.
  bool FPacing = false;
  bool FFinalDue = false;
  std::chrono::steady_clock::time_point FLastPaint;
};

// At most this often a window shows a running transfer's bars, counter,
// strip and busy animation: about twice a second, which a person reads with
// ease. Each paint costs the window more than all the rest of a block; at
// this pace the window spends less than a third of a percent of a core on a
// transfer at 115200 bit/s.
inline constexpr std::chrono::milliseconds kPaintInterval{500};
// Timer1's interval: the receiver is woken and offered the mode once a second.
inline constexpr int kProbePeriodMs = 1000;

// The one plain line the log adds after the exchange's own when a download
// did not succeed: what happened, in the operator's words.
inline constexpr const char* kCauseLinePrefix = "  What happened: ";
