#include "DownloadConsole.h"

#include <algorithm>
#include <iostream>

#include "AddressText.h"
#include "DescriptionFile.h"
#include "DialogTexts.h"
#include "FileError.h"
#include "PortChoice.h"
#include "SerialDrv.h"
#include "StatusText.h"

void TDownloadConsole::CreateComponents(const std::string& port, std::unique_ptr<TPollTimer> pollTimer,
                                        std::unique_ptr<TPollTimer> probeTimer, const std::string& tracePath) {
  FSerialPortDriver = std::make_unique<TSerialPortDriver>(std::move(pollTimer));
  SerialPortDriver1 = FSerialPortDriver.get();
  SerialPortDriver1->SetComPort(pnCOM1);
  SerialPortDriver1->SetComPortSpeed(br115200);
  SerialPortDriver1->SetComPortDevice(port);
  SerialPortDriver1->SetPortGuard(&FPortClaim);
  FState.Port = SerialPortDriver1->Device();
  FTrace = std::make_unique<TWireTrace>(FState.Port, tracePath);
  SerialPortDriver1->SetWireObserver(FTrace.get());
  FTimer1 = std::move(probeTimer);
  Timer1 = FTimer1.get();
  Timer1->SetOnTick([this] { Timer1Timer(); });
  TDownloadView& view = *this;
  FDownload = std::make_unique<TDownload>(*SerialPortDriver1, view);
  FRecorder = std::make_unique<TDownloadRecorder>(FState.Port);
}

TDownloadConsole::TDownloadConsole() = default;
TDownloadConsole::~TDownloadConsole() = default;

void TDownloadConsole::DestroyComponents() {
  if (Timer1 != nullptr) Timer1->Stop();
  FDownload.reset();
  FSerialPortDriver.reset();
  SerialPortDriver1 = nullptr;
  FTrace.reset();
}

std::chrono::milliseconds TDownloadConsole::PaintInterval() const { return kPaintInterval; }

void TDownloadConsole::FormCreate() {
  FModeChoice.Restart();
  if (!SerialPortDriver1->Connect()) {
    const std::string reason = PortReason(FState.Port, SerialPortDriver1->LastError());
    // The log keeps who held the port after the message is gone.
    if (SerialPortDriver1->Holder()) {
      AppendLog("  COM1 = " + FState.Port + " is not open: " + reason);
      NoDownload(TFailureCause::PortHeld, "the port " + FState.Port + " is held by another program: " + reason);
    } else {
      NoDownload(TFailureCause::NoPort, "the port " + FState.Port + " could not be opened: " + reason);
    }
    Ask(TDialog::ConnectError, kConnectError, SerialPortDriver1->LastError());
  }
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
  // A download an earlier run left open is closed in the record now, by whichever face starts first.
  for (const std::string& line : MarkInterrupted(FRecorder->Folder())) AppendLog(line);
  LogPortWarnings();
  TellTraceProblem();
  FState.Phase = TRunPhase::Probing;
  SetPortChoosable(true);
  SetCounter(0, 0);
  Timer1->Start(kProbePeriodMs);
}

bool TDownloadConsole::PortOpen() const { return SerialPortDriver1 != nullptr && SerialPortDriver1->Connected(); }

void TDownloadConsole::ChooseJob(std::uint8_t mode, const TDownloadJob& job) {
  FModeChoice.Choose(mode, job);
  FState.Mode = mode;
}

// --- keys, the description file, the probe tick --------------------------------------------

void TDownloadConsole::RxMemoKeyPress(std::uint8_t& Key) {
  if (!FModeChoice.Key(Key)) return;
  FState.Mode = FModeChoice.Mode();
  AppendStep(0, FModeChoice.Info().LogLine);
  ReadDescriptionFile();
}

void TDownloadConsole::KeyTyped(std::uint8_t key) {
  try {
    RxMemoKeyPress(key);
  } catch (const std::exception& e) {
    NoDownload(TFailureCause::Description, std::string("the description file could not be read: ") + e.what());
    ShowError(e);
  }
}

void TDownloadConsole::ReadDescriptionFile() {
  FModeChoice.ReadDescription([this](const std::string& line) { AppendLog(line); });
  SetCounter(0, FModeChoice.Job().ImageSize());
  // The mode is chosen, but the calls to the receiver go nowhere: say so once.
  if (!PortOpen() && !FWaitingForPort && !FPortNotOpenLogged) {
    FPortNotOpenLogged = true;
    AppendLog("  Nothing can reach the receiver: COM1 = " + FState.Port +
              " is not open: " + PortReason(FState.Port, SerialPortDriver1->LastError()));
  }
}

void TDownloadConsole::Timer1Timer() {
  // The device that went away is looked for once a tick; the probe goes on
  // in the tick that finds it back.
  if (FWaitingForPort) {
    if (!SerialPortDriver1->ReconnectLost()) return;
    FWaitingForPort = false;
    AppendLog("  Serial line is back: COM1 = " + FState.Port + " is open again");
    ShowPort();
  }
  try {
    FDownload->Timer1Timer(FModeChoice.Mode(), FModeChoice.JobReady() ? &FModeChoice.Job() : nullptr);
  } catch (const std::exception& e) {
    ShowError(e);
  }
  TellTraceProblem();
}

void TDownloadConsole::SayRecordProblem(const std::string& line) {
  std::string text = line;
  text.erase(0, text.find_first_not_of(' '));
  std::cerr << "stb-downloader: " << text << '\n' << std::flush;
}

void TDownloadConsole::TellTraceProblem() {
  if (!FTrace) return;
  if (const auto problem = FTrace->TakeProblem()) AppendLog("  Warning: the wire trace is not written: " + *problem);
}

// A file error's detail goes into the log first, so that it is there to read
// while the message box is up.
void TDownloadConsole::ShowError(const std::exception& e) {
  if (const auto* file = dynamic_cast<const TFileError*>(&e); file != nullptr && !file->Detail().empty())
    AppendLog(file->Detail());
  StopPacing();
  Ask(TDialog::Error, e.what());
}

// --- the log ---------------------------------------------------------------------------------

// Recorded before it is shown: a window that cannot show it any more (it is
// going) still leaves it in the record.
void TDownloadConsole::AppendLog(const std::string& line) {
  if (FRecorder) FRecorder->LogLine(line);
  AddLogLine(line);
}

void TDownloadConsole::NoDownload(TFailureCause cause, const std::string& text) {
  if (FRecorder->Result() || FRecorder->Reaching()) return;
  // Who holds the port says more than that it would not open.
  const bool sharper = cause == TFailureCause::PortHeld && FState.Failure.Cause == TFailureCause::NoPort;
  if (FState.Failure.Cause != TFailureCause::None && !sharper) return;
  FState.Failure = {};
  FState.Failure.Cause = cause;
  FState.Failure.Text = text;
}

void TDownloadConsole::AppendStep(int step, const std::string& line) {
  AppendLog(line);
  FState.Step = step;
  FState.StepLine = line;
  FState.WaitingFor.clear();
  if (step >= 4) FState.Phase = TRunPhase::Verifying;
  Changed();
}

// --- closing ---------------------------------------------------------------------------------

bool TDownloadConsole::CloseQuery() {
  // Closing while blocks go out would pull the window from under the
  // transfer: ask it to stop at the next block instead.
  const bool running = FDownload && FDownload->Running() && !FClosingByDownload;
  const TCloseStep step = DecideClose(running, Transferring(), !FCloseWithoutAsking);
  if (step == TCloseStep::CloseNow) return true;
  if (FCloseRequested || FAsking) return false;
  if (step == TCloseStep::AskThenStop) {
    // The window behind the question is shown as it stands; the block loop
    // paces it again once the question is answered.
    const bool pacing = FPacing;
    StopPacing();
    FAsking = true;
    FState.Question = kStopQuestion;
    const bool yes = Ask(TDialog::StopQuestion, kStopQuestion);
    FState.Question.clear();
    FAsking = false;
    FPacing = pacing;
    // A signal that came while the question was open closes all the same.
    if (!yes && !FCloseWithoutAsking) return false;
  }
  FCloseRequested = true;
  return false;
}

void TDownloadConsole::Finished() {
  FClosingByDownload = true;
  StopPacing();
  Timer1->Stop();
  FState.Closing = true;
  ShowState(FState);
}

void TDownloadConsole::ProbeAnswered() { Timer1->Stop(); }

// --- dialogs: the face is shown the state as it stands before one comes up ------------------------

void TDownloadConsole::Tell(const std::string& text) {
  StopPacing();
  Ask(TDialog::Message, text);
}

bool TDownloadConsole::AskYesNo(const std::string& text) {
  StopPacing();
  FState.Question = text;
  const bool yes = Ask(TDialog::YesNo, text);
  FState.Question.clear();
  return yes;
}

void TDownloadConsole::Inform(const std::string& text) {
  StopPacing();
  Ask(TDialog::Information, text);
}

bool TDownloadConsole::AskAboutAddresses(const std::string& text, const TAddressPair& addresses) {
  StopPacing();
  FState.Question = text;
  FState.QuestionFileAddress = AddressText(addresses.File);
  FState.QuestionBoxAddress = AddressText(addresses.Box);
  const bool yes =
      Ask(TDialog::YesNo, text, AddressQuestionDetail(FModeChoice.Info().DescriptionFile, addresses.File, addresses.Box));
  FState.Question.clear();
  FState.QuestionFileAddress.clear();
  FState.QuestionBoxAddress.clear();
  return yes;
}

void TDownloadConsole::InformAboutDescription(const std::string& text) {
  StopPacing();
  Ask(TDialog::Information, text, DescriptionFileNote(FModeChoice.Info().DescriptionFile));
}

// --- the bars, the counter and the strip, at a person's pace ------------------------------------

void TDownloadConsole::Changed() {
  if (!FPacing) ShowState(FState);
}

void TDownloadConsole::FlashProgress(int percent) {
  FState.FlashPercent = percent;
  FState.Phase = TRunPhase::Verifying;
  FState.WaitingFor.clear();
  Changed();
}

void TDownloadConsole::SetCounter(std::int64_t sent, std::int64_t total) {
  FState.BytesSent = sent;
  FState.BytesTotal = total;
  Changed();
}

void TDownloadConsole::Working(bool working) {
  FState.Busy = working;
  Changed();
}

// While blocks go out the face is shown the state, all in one pass, at the
// message handling of a block when PaintInterval has passed since it last
// was, and at the last block; in between it may rest: the receiver's pace
// sets the cost, never the screen's.
void TDownloadConsole::BetweenBlocks() {
  if (FPacing) {
    const auto now = Now();
    if (FFinalDue || now - FLastPaint >= PaintInterval()) {
      FLastPaint = now;
      if (FFinalDue) FPacing = FFinalDue = false;
      FState.Paced = FPacing;
      ShowState(FState);
    }
  }
  Pump();
}

void TDownloadConsole::StopPacing() {
  if (!FPacing) return;
  FPacing = false;
  FFinalDue = false;
  FState.Paced = false;
  ShowState(FState);
}

// --- the port ------------------------------------------------------------------------------------

// A port that opened but runs otherwise than asked garbles every byte.
void TDownloadConsole::LogPortWarnings() {
  if (!SerialPortDriver1->Connected()) return;
  if (!SerialPortDriver1->SettingsWarning().empty()) AppendLog("  Warning: " + SerialPortDriver1->SettingsWarning());
  if (!SerialPortDriver1->LatencyWarning().empty()) AppendLog("  Warning: " + SerialPortDriver1->LatencyWarning());
}

void TDownloadConsole::SetPortChoosable(bool choosable) {
  FState.PortChoosable = choosable;
  if (choosable && FState.PortNote == kPortStaysNote) FState.PortNote.clear();
  Changed();
}

// The probe rests while the list is open: no receiver can answer on the
// port the operator is about to leave.
void TDownloadConsole::PortListAsked() {
  if (SerialPortDriver1 == nullptr) return;
  // Answered at once, even between two paced states: the operator asked.
  if (FDownload->Running()) {
    FState.PortNote = kPortStaysNote;
    ShowState(FState);
    return;
  }
  std::vector<TPortOffer> offers;
  for (const TSerialDevice& device : FPortLister()) {
    const bool current = NamedPort(device.Path, TPortSource::CommandLine).Device == FState.Port ||
                         std::find(device.Names.begin(), device.Names.end(), FState.Port) != device.Names.end();
    offers.push_back({device.Path, PortOfferText(device, PortHolderOf(device.Path)), current});
  }
  const bool probing = Timer1->Active();
  Timer1->Stop();
  const std::optional<std::size_t> chosen = PickPort(offers);
  if (chosen && *chosen < offers.size()) ChoosePortNamed(offers[*chosen].Name);
  if (probing && !FState.Closing) Timer1->Start(kProbePeriodMs);
}

void TDownloadConsole::ChoosePortNamed(const std::string& name) {
  if (SerialPortDriver1 == nullptr || FDownload->Running() || name.empty()) return;
  const TPortChoice choice = NamedPort(name, TPortSource::CommandLine);
  const std::string was = FState.Port;
  SerialPortDriver1->Disconnect();
  FWaitingForPort = false;
  SerialPortDriver1->SetComPortDevice(choice.Device);
  FState.Port = SerialPortDriver1->Device();
  FTrace->PortChanged(FState.Port);
  FRecorder->SetPort(FState.Port);
  const bool opened = SerialPortDriver1->Connect();
  AppendLog(PortChosenLine(was, FState.Port, opened, SerialPortDriver1->LastError()));
  LogPortWarnings();
  // A mode already chosen has been told why nothing reaches the receiver.
  FPortNotOpenLogged = !opened;
  if (!FPortMemory) FPortMemory = UserPortMemory();
  RememberIfOpened(choice, opened, *FPortMemory);
  FState.PortNote = kPortChosenNote;
  ShowPort();
}

void TDownloadConsole::ShowPort() {
  FState.PortState = PortOpen() ? TPortState::Open : TPortState::NotOpen;
  FState.PortProblem = SerialPortDriver1->LastError();
  Changed();
}

// A window has somebody in front of it who can plug the adapter back in: it
// lets the vanished device go and waits for it. A face without one ends, so
// that the script that started it hears at once.
void TDownloadConsole::LineLost() {
  FState.PortState = TPortState::Lost;
  if (WaitsForLostPort()) {
    FWaitingForPort = true;
    SerialPortDriver1->Disconnect();
    Changed();
    return;
  }
  Timer1->Stop();
  NoDownload(TFailureCause::NoPort, "the port " + FState.Port + " went away before a box answered");
  Ask(TDialog::Message, LostPortMessage(FState.Port));
  FState.Closing = true;
  ShowState(FState);
}

// --- what the record and the face hear of the download -------------------------------------------

void TDownloadConsole::Reached(std::uint8_t mode, const TDownloadJob& job) {
  // A running line that could not be written is said with the final one,
  // which is the proof: once a download, not twice.
  FRecorder->Reached(mode, job);
  FState.Failure = {};
  FState.RecordError.clear();
  FTrace->DownloadReached();
  FState.PortChoosable = false;
  if (FState.PortNote == kPortChosenNote) FState.PortNote.clear();
  FState.Phase = TRunPhase::Checking;
  FState.Blocks = job.BlockCount();
  FState.BlocksAccepted = FState.Resends = 0;
  FState.Result.reset();
  FState.FailedAt.reset();
  Changed();
}

void TDownloadConsole::Identified(const TDeviceInfo& info, bool addressRead) {
  FRecorder->Identified(info, addressRead);
  FState.Receiver = ReceiverIdentity(info, addressRead);
  Changed();
}

void TDownloadConsole::TransferStarting(std::int32_t) {
  FTrace->TransferStarting();
  FTransferring = true;
  FTransferStart = Now();
  FPacing = true;
  FLastPaint = FTransferStart - PaintInterval();
  FState.Phase = TRunPhase::Sending;
  FState.Paced = true;
  ShowState(FState);
}

// The block loop handles the messages right after this, which shows the
// state when its time has come (and, at the last block, in any case). The
// pace is the payload the receiver accepted over the time since the first
// block went out, which no line can make faster than it is.
void TDownloadConsole::BlockAccepted(const TTransferProgress& progress) {
  FRecorder->BlockAccepted();
  FState.BlocksAccepted = progress.Done;
  FState.BytesSent = progress.BytesSent;
  FState.BytesTotal = progress.BytesTotal;
  FState.TransferPercent = progress.Percent;
  FState.WaitingFor.clear();
  const double elapsed = std::chrono::duration<double>(Now() - FTransferStart).count();
  if (elapsed > 0 && FState.BytesSent > 0) {
    FState.BytesPerSecond = double(FState.BytesSent) / elapsed;
    FState.SecondsLeft = double(FState.BytesTotal - FState.BytesSent) / *FState.BytesPerSecond;
  }
  // The bar shows 100 % for the last half percent of blocks: the last block is the count's.
  if (progress.Done >= progress.Blocks) {
    if (FPacing) FFinalDue = true;
    FState.Phase = TRunPhase::Verifying;
  }
  TellTraceProblem();
  Changed();
}

void TDownloadConsole::BlockResent(std::int32_t) {
  FRecorder->BlockResent();
  ++FState.Resends;
}

void TDownloadConsole::BlockGoingOut(std::int32_t block, bool resend) { FTrace->BlockGoingOut(block, resend); }

// No message is handled here, as none may be while the exchange waits: the
// face is only shown the wait.
void TDownloadConsole::Waiting(const char* stage, std::uint32_t silentMs) {
  FTransferring = false;
  FPacing = FFinalDue = false;
  FState.Paced = false;
  FState.WaitingFor = stage;
  FState.SilentMs = silentMs;
  ShowState(FState);
}

void TDownloadConsole::Ended(TDownloadResult result, const std::string& reason, const TFailure& failure) {
  FTransferring = false;
  FPacing = FFinalDue = false;
  FState.Paced = false;
  // Where it failed is the exchange's own last line, not the plain one that follows it.
  const std::string at = FRecorder->FailedAtNow(reason);
  if (result != TDownloadResult::Success && !failure.Text.empty()) AppendLog(kCauseLinePrefix + failure.Text);
  // Only a failure keeps its trace beside its log.
  const std::string unsaved = FRecorder->Finish(
      result, at, result == TDownloadResult::Failure ? std::optional(FTrace->KeptText()) : std::nullopt, failure);
  FTrace->DownloadEnded();
  FState.Failure = failure;
  FState.RecordError = FRecorder->RecordError();
  if (!unsaved.empty()) {
    AppendLog(unsaved);
    SayRecordProblem(unsaved);
  }
  TellTraceProblem();
  FState.Phase = TRunPhase::Ended;
  FState.PortChoosable = true;
  if (FState.PortNote == kPortStaysNote) FState.PortNote.clear();
  FState.Result = result;
  FState.FailedAt = FRecorder->Record().FailedAt;
  FState.WaitingFor.clear();
  ShowState(FState);
}
