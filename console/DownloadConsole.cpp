#include "DownloadConsole.h"

#include "DescriptionFile.h"
#include "FileError.h"
#include "StatusText.h"

void TDownloadConsole::CreateComponents(std::unique_ptr<TPollTimer> pollTimer, std::unique_ptr<TPollTimer> probeTimer) {
  FSerialPortDriver = std::make_unique<TSerialPortDriver>(std::move(pollTimer));
  SerialPortDriver1 = FSerialPortDriver.get();
  SerialPortDriver1->SetComPort(pnCOM1);
  SerialPortDriver1->SetComPortSpeed(br115200);
  FTimer1 = std::move(probeTimer);
  Timer1 = FTimer1.get();
  Timer1->SetOnTick([this] { Timer1Timer(); });
  TDownloadView& view = *this;
  FDownload = std::make_unique<TDownload>(*SerialPortDriver1, view);
  TDownloadObserver& observer = *this;
  FDownload->SetObserver(&observer);
  FRecorder = std::make_unique<TDownloadRecorder>(TSerialPortDriver::DevicePath(pnCOM1));
}

void TDownloadConsole::FormCreate() {
  DownloadMode = 0;
  ResetKeywordSlots(KeywordSlots);
  if (!SerialPortDriver1->Connect()) ShowConnectError();
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
  SetByteCounter(ByteCounterText(0, 0));
  Timer1->Start(1000);
}

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

void TDownloadConsole::ReadDescriptionFile(const std::string& path) {
  ::ReadDescriptionFile(path, DownloadJob, [this](const std::string& line) { AppendLog(line); });
  SetByteCounter(ByteCounterText(0, DownloadJob.ImageSize()));
  DownloadJobReady = true;
  // The mode is chosen, but the calls to the receiver go nowhere: say so once.
  if (!SerialPortDriver1->Connected() && !FPortNotOpenLogged) {
    FPortNotOpenLogged = true;
    const std::string device = TSerialPortDriver::DevicePath(pnCOM1);
    AppendLog("  Nothing can reach the receiver: COM1 = " + device +
              " is not open: " + PortReason(device, SerialPortDriver1->LastError()));
  }
}

void TDownloadConsole::Timer1Timer() {
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

// --- what the record and the status strip hear of the download -------------------------------

void TDownloadConsole::Reached(std::uint8_t mode, const TDownloadJob& job) { FRecorder->Reached(mode, job); }

void TDownloadConsole::Identified(const TDeviceInfo& info, bool addressRead) {
  FRecorder->Identified(info, addressRead);
}

void TDownloadConsole::TransferStarting(std::int32_t) {
  FTransferring = true;
  FTransferStart = std::chrono::steady_clock::now();
}

// The block loop handles the window's messages right after this, which
// paints the strip.
void TDownloadConsole::BlockAccepted(std::int32_t done, std::int32_t blockCount) {
  FRecorder->BlockAccepted();
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - FTransferStart).count();
  ShowActivity(TransferRateText(done, blockCount, elapsed));
}

void TDownloadConsole::BlockResent(std::int32_t) { FRecorder->BlockResent(); }

// No message is handled here, as none may be while the exchange waits: the
// window is only painted again.
void TDownloadConsole::Waiting(const char* stage, std::uint32_t silentMs) {
  FTransferring = false;
  ShowActivity(WaitingText(stage, silentMs));
  PaintNow();
}

void TDownloadConsole::Ended(TDownloadResult result, const std::string& reason) {
  FTransferring = false;
  const std::string unsaved = FRecorder->Finish(result, reason);
  if (!unsaved.empty()) AppendLog(unsaved);
  ShowActivity(result == TDownloadResult::Success  ? "download succeeded"
               : result == TDownloadResult::Stopped ? "download stopped"
                                                    : "download failed");
}
