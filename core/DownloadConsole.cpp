#include "DownloadConsole.h"

#include "DescriptionFile.h"
#include "FileError.h"
#include "SerialDrv.h"
#include "StatusText.h"

void TDownloadConsole::CreateComponents(const std::string& port, std::unique_ptr<TPollTimer> pollTimer,
                                        std::unique_ptr<TPollTimer> probeTimer) {
  FSerialPortDriver = std::make_unique<TSerialPortDriver>(std::move(pollTimer));
  SerialPortDriver1 = FSerialPortDriver.get();
  SerialPortDriver1->SetComPort(pnCOM1);
  SerialPortDriver1->SetComPortSpeed(br115200);
  SerialPortDriver1->SetComPortDevice(port);
  FPortDevice = SerialPortDriver1->Device();
  FTimer1 = std::move(probeTimer);
  Timer1 = FTimer1.get();
  Timer1->SetOnTick([this] { Timer1Timer(); });
  TDownloadView& view = *this;
  FDownload = std::make_unique<TDownload>(*SerialPortDriver1, view);
  TDownloadObserver& observer = *this;
  FDownload->SetObserver(&observer);
  FRecorder = std::make_unique<TDownloadRecorder>(FPortDevice);
}

TDownloadConsole::TDownloadConsole() = default;
TDownloadConsole::~TDownloadConsole() = default;

void TDownloadConsole::DestroyComponents() {
  if (Timer1 != nullptr) Timer1->Stop();
  FDownload.reset();
  FSerialPortDriver.reset();
  SerialPortDriver1 = nullptr;
}

void TDownloadConsole::FormCreate() {
  DownloadMode = 0;
  ResetKeywordSlots(KeywordSlots);
  if (!SerialPortDriver1->Connect()) ShowDialog(TDialog::ConnectError, kConnectError, SerialPortDriver1->LastError());
  ShowPort();

  const std::string rule(73, '-');
  AppendLog(rule);
  AppendLog(" <<< DIRECTIONS >>> ");
  AppendLog(" 0. First, check Your serial cable and COM1 port.");
  AppendLog(" 1. Now, type the download mode in this box.");
  AppendLog("    It is not displayed.");
  AppendLog(" 2. Lastly, turn on the Set-Top Box(KVR).");
  AppendLog(" 3. Wait for complete.");
  AppendLog(rule);
  // A port that opened but runs otherwise than asked garbles every byte.
  if (SerialPortDriver1->Connected() && !SerialPortDriver1->SettingsWarning().empty())
    AppendLog("  Warning: " + SerialPortDriver1->SettingsWarning());
  if (SerialPortDriver1->Connected() && !SerialPortDriver1->LatencyWarning().empty())
    AppendLog("  Warning: " + SerialPortDriver1->LatencyWarning());
  SetByteCounter(ByteCounterText(0, 0));
  Timer1->Start(1000);
}

bool TDownloadConsole::PortOpen() const { return SerialPortDriver1 != nullptr && SerialPortDriver1->Connected(); }

// --- keys, the description file, the probe tick --------------------------------------------

void TDownloadConsole::RxMemoKeyPress(std::uint8_t& Key) {
  if (DownloadMode != 0) return;
  const std::uint8_t mode = MatchKeywordCharacter(KeywordSlots, Key);
  if (mode == 0) return;
  const TModeInfo& info = ModeInfo(mode);
  AppendLog(info.LogLine);
  DownloadMode = mode;
  ReadDescriptionFile(info.DescriptionFile);
}

void TDownloadConsole::KeyTyped(std::uint8_t key) {
  try {
    RxMemoKeyPress(key);
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

void TDownloadConsole::ReadDescriptionFile(const std::string& path) {
  ::ReadDescriptionFile(path, DownloadJob, [this](const std::string& line) { AppendLog(line); });
  SetByteCounter(ByteCounterText(0, DownloadJob.ImageSize()));
  DownloadJobReady = true;
  // The mode is chosen, but the calls to the receiver go nowhere: say so once.
  if (!PortOpen() && !FWaitingForPort && !FPortNotOpenLogged) {
    FPortNotOpenLogged = true;
    AppendLog("  Nothing can reach the receiver: COM1 = " + FPortDevice +
              " is not open: " + PortReason(FPortDevice, SerialPortDriver1->LastError()));
  }
}

void TDownloadConsole::Timer1Timer() {
  // The device that went away is looked for once a tick; the probe goes on
  // in the tick that finds it back.
  if (FWaitingForPort) {
    if (!SerialPortDriver1->ReconnectLost()) return;
    FWaitingForPort = false;
    AppendLog("  Serial line is back: COM1 = " + FPortDevice + " is open again");
    ShowPort();
  }
  try {
    FDownload->Timer1Timer(DownloadMode, DownloadJobReady ? &DownloadJob : nullptr);
  } catch (const std::exception& e) {
    ShowError(e);
  }
}

// A file error's detail goes into the log first, so that it is there to read
// while the message box is up.
void TDownloadConsole::ShowError(const std::exception& e) {
  if (const auto* file = dynamic_cast<const TFileError*>(&e); file != nullptr && !file->Detail().empty())
    AppendLog(file->Detail());
  ShowErrorText(e.what());
}

// --- the log ---------------------------------------------------------------------------------

// Recorded before it is shown: a window that cannot show it any more (it is
// going) still leaves it in the record.
void TDownloadConsole::AppendLog(const std::string& line) {
  if (FRecorder) FRecorder->LogLine(line);
  ShowLogLine(line);
}

// --- closing ---------------------------------------------------------------------------------

bool TDownloadConsole::CloseQuery() {
  // Closing while blocks go out would pull the window from under the
  // transfer: ask it to stop at the next block instead.
  if (!FDownload || !FDownload->Running() || FClosingByDownload) return true;
  if (FCloseRequested || FAsking) return false;
  // Blocks going out are worth a question; a signal is not asked.
  if (Transferring() && !FCloseWithoutAsking) {
    // The window behind the question is painted as it stands; the block
    // loop holds it again once the question is answered.
    const bool pacing = FPacing;
    StopPacing();
    FAsking = true;
    const bool yes = ShowDialog(TDialog::StopQuestion, kStopQuestion);
    FAsking = false;
    FPacing = pacing;
    // A signal that came while the question was open closes all the same.
    if (!yes && !FCloseWithoutAsking) return false;
  }
  FCloseRequested = true;
  return false;
}

void TDownloadConsole::CloseWindow() {
  FClosingByDownload = true;
  StopPacing();
  Timer1->Stop();
  DestroyForm();
}

void TDownloadConsole::StopProbeTimer() { Timer1->Stop(); }

// --- dialogs: the window is painted as it stands before one comes up ------------------------------

void TDownloadConsole::ShowMessage(const std::string& text) {
  StopPacing();
  ShowDialog(TDialog::Message, text);
}

bool TDownloadConsole::ConfirmYesNo(const std::string& text) {
  StopPacing();
  return ShowDialog(TDialog::YesNo, text);
}

void TDownloadConsole::ShowInformation(const std::string& text) {
  StopPacing();
  ShowDialog(TDialog::Information, text);
}

// --- the bars, the counter and the strip, at a person's pace ------------------------------------

// The bars go to the window at once (a bar's value changes only every few
// blocks). While painting is held the counter and the strip's pace are only
// kept, and handed over when they are next painted: a new text costs the
// window a new layout, which is wasted on a value nobody sees.
void TDownloadConsole::SetTransferProgress(int percent) { DrawTransferProgress(percent); }

void TDownloadConsole::SetFlashProgress(int percent) { DrawFlashProgress(percent); }

void TDownloadConsole::SetByteCounter(const std::string& text) {
  if (FHeld)
    FHeldCounter = text;
  else
    DrawByteCounter(text);
}

void TDownloadConsole::DrawHeldValues() {
  if (FHeldCounter) DrawByteCounter(*FHeldCounter);
  if (FHeldRate) ShowActivity(TransferRateText(FHeldRate->Done, FHeldRate->BlockCount, FHeldRate->Seconds));
  FHeldCounter.reset();
  FHeldRate.reset();
}

// While blocks go out the window is held from painting, and lets what
// changed paint, all in one pass, at the message handling of a block when
// kPaintInterval has passed since it last did, and at the last block: the
// receiver's pace sets the cost, never the screen's.
void TDownloadConsole::ProcessPendingMessages() {
  if (!FPacing) {
    PumpMessages();
    return;
  }
  const auto now = std::chrono::steady_clock::now();
  const bool due = FFinalDue || now - FLastPaint >= kPaintInterval;
  if (due) {
    FLastPaint = now;
    FHeld = false;
    DrawHeldValues();
    HoldPainting(false);
  }
  PumpMessages();
  if (FFinalDue) {
    StopPacing();
  } else if (FPacing && !FHeld) {
    FHeld = true;
    HoldPainting(true);
  }
}

void TDownloadConsole::StopPacing() {
  FPacing = false;
  FFinalDue = false;
  if (FHeld) {
    FHeld = false;
    DrawHeldValues();
    HoldPainting(false);
  }
}

// --- the status strip ----------------------------------------------------------------------------

void TDownloadConsole::ShowPort() {
  const bool open = PortOpen();
  FStrip.PortText = PortText(FPortDevice, open, SerialPortDriver1->LastError());
  FStrip.Text = FStrip.PortText;
  FStrip.Warning = !open;
  DrawStrip(FStrip);
}

void TDownloadConsole::ShowActivity(const std::string& text) {
  FStrip.Text = text.empty() ? FStrip.PortText : FStrip.PortText + kStripSeparator + text;
  DrawStrip(FStrip);
}

// --- what the record and the status strip hear of the download -------------------------------

void TDownloadConsole::Reached(std::uint8_t mode, const TDownloadJob& job) { FRecorder->Reached(mode, job); }

void TDownloadConsole::Identified(const TDeviceInfo& info, bool addressRead) {
  FRecorder->Identified(info, addressRead);
  ShowReceiver(info, addressRead);
}

void TDownloadConsole::TransferStarting(std::int32_t) {
  FTransferring = true;
  FTransferStart = std::chrono::steady_clock::now();
  FPacing = true;
  FLastPaint = FTransferStart - kPaintInterval;
  FHeld = true;
  HoldPainting(true);
}

// The block loop handles the window's messages right after this, which
// paints the strip when its time has come (and, at the last block, whatever
// is held).
void TDownloadConsole::BlockAccepted(std::int32_t done, std::int32_t blockCount) {
  FRecorder->BlockAccepted();
  // The bar shows 100 % for the last half percent of blocks: the last block is the count's.
  if (FPacing && done >= blockCount) FFinalDue = true;
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FTransferStart).count();
  if (FHeld)
    FHeldRate = THeldRate{done, blockCount, elapsed};
  else
    ShowActivity(TransferRateText(done, blockCount, elapsed));
}

void TDownloadConsole::BlockResent(std::int32_t) { FRecorder->BlockResent(); }

// No message is handled here, as none may be while the exchange waits: the
// window is only painted again.
void TDownloadConsole::Waiting(const char* stage, std::uint32_t silentMs) {
  FTransferring = false;
  StopPacing();
  ShowActivity(WaitingText(stage, silentMs));
  PaintNow();
}

// A window has somebody in front of it who can plug the adapter back in: it
// lets the vanished device go and waits for it. A face without one ends, so
// that the script that started it hears at once.
void TDownloadConsole::LineLost() {
  if (WaitsForLostPort()) {
    FWaitingForPort = true;
    SerialPortDriver1->Disconnect();
    FStrip.PortText = LostPortText(FPortDevice);
    FStrip.Text = FStrip.PortText;
    FStrip.Warning = true;
    DrawStrip(FStrip);
    return;
  }
  Timer1->Stop();
  ShowDialog(TDialog::Message, LostPortMessage(FPortDevice));
  DestroyForm();
}

void TDownloadConsole::Ended(TDownloadResult result, const std::string& reason) {
  FTransferring = false;
  StopPacing();
  const std::string unsaved = FRecorder->Finish(result, reason);
  if (!unsaved.empty()) AppendLog(unsaved);
  ShowActivity(result == TDownloadResult::Success  ? "download succeeded"
               : result == TDownloadResult::Stopped ? "download stopped"
                                                    : "download failed");
}
