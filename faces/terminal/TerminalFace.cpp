#include "TerminalFace.h"

#include <cctype>
#include <cstdio>
#include <optional>
#include <iostream>

#include "DownloadRecord.h"
#include "Events.h"
#include "StatusText.h"
#include "CounterText.h"

namespace {

constexpr const char* kKeywordPrompt = "Download mode: ";
// A program that follows the download hears of it about ten times a second.
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

// "y", "yes", "n", "no" in any case, a CR or blanks around them forgiven;
// none for anything else.
std::optional<bool> YesOrNo(std::string answer) {
  while (!answer.empty() && (answer.back() == '\r' || answer.back() == ' ')) answer.pop_back();
  answer.erase(0, answer.find_first_not_of(' '));
  for (char& c : answer) c = char(std::tolower(static_cast<unsigned char>(c)));
  if (answer == "y" || answer == "yes") return true;
  if (answer == "n" || answer == "no") return false;
  return std::nullopt;
}

}  // namespace

TTerminalFace::TTerminalFace(const TTerminalOptions& options) : FOptions(options) {
  FInputIsTerminal = TTerminalLoop::InputIsTerminal();
  FErrIsTerminal = TTerminalLoop::ErrorIsTerminal();
  CreateComponents(options.Port, FLoop.MakeTimer(), FLoop.MakeTimer(), options.Trace);
  FLoop.OnInterrupt = [this](bool terminate) { OnInterrupt(terminate); };
}

TTerminalFace::~TTerminalFace() {
  TTerminalLoop::EchoInput(true);
  DestroyComponents();
}

int TTerminalFace::Run() {
  FormCreate();
  if (!FEndStatus) AskForKeyword();
  if (!FEndStatus) FLoop.Run();
  ClearProgressLine();
  if (FOptions.Json) {
    const bool reached = DownloadResult().has_value();
    Emit(ResultEvent(DownloadResult(), reached ? Recorder().Record().FailedAt : std::nullopt,
                     reached ? std::optional<TDownloadRecord>(Recorder().Record()) : std::nullopt, State().Failure,
                     State().RecordError));
  }
  std::cout.flush();
  return FEndStatus.value_or(kExitNoDownload);
}

std::chrono::milliseconds TTerminalFace::PaintInterval() const { return kProgressInterval; }

void TTerminalFace::End(int status) {
  if (!FEndStatus) FEndStatus = status;
  FLoop.Quit();
}

// --- the keyword ------------------------------------------------------------------------------

void TTerminalFace::AskForKeyword() {
  if (FInputIsTerminal) {
    TTerminalLoop::EchoInput(false);
    std::cerr << kKeywordPrompt << std::flush;
  }
  FLoop.WatchInput([this] { KeywordInput(); });
}

void TTerminalFace::KeywordInput() {
  char buffer[256];
  const long n = FLoop.ReadInput(buffer, sizeof buffer);
  if (n <= 0) {
    FLoop.StopWatchingInput();
    TTerminalLoop::EchoInput(true);
    // A line cut off by the end of the input is still the operator's word.
    if (!FInputLine.empty()) TakeKeywordLine(FInputLine);
    if (DownloadMode() == 0 && !FEndStatus) {
      std::cerr << (FInputIsTerminal ? "\n" : "") << "stb-downloader: no download mode was given\n";
      NoDownload(TFailureCause::NoMode, "no download mode was given");
      End(kExitNoDownload);
    }
    return;
  }
  for (long i = 0; i < n && DownloadMode() == 0 && !FEndStatus; ++i) {
    if (buffer[i] != '\n') {
      FInputLine.push_back(buffer[i]);
      continue;
    }
    std::string line;
    line.swap(FInputLine);
    TakeKeywordLine(line);
  }
}

// The line's characters go through the matcher as the window's keys do,
// from the start each time: a wrong word is no half of the next.
void TTerminalFace::TakeKeywordLine(const std::string& line) {
  std::string word = line;
  if (!word.empty() && word.back() == '\r') word.pop_back();
  ResetKeyword();
  for (char c : word) {
    KeyTyped(std::uint8_t(c));
    if (DownloadMode() != 0 || FEndStatus) break;
  }
  if (DownloadMode() != 0 || FEndStatus) {
    FLoop.StopWatchingInput();
    TTerminalLoop::EchoInput(true);
    if (!FEndStatus) StartWaitingForBox();
    return;
  }
  if (FInputIsTerminal) {
    std::cerr << "Not a download mode. " << kKeywordPrompt << std::flush;
    return;
  }
  std::cerr << "stb-downloader: the first line of standard input is not a download mode\n";
  NoDownload(TFailureCause::NoMode, "the first line of standard input is not a download mode");
  FLoop.StopWatchingInput();
  End(kExitNoDownload);
}

// --- the wait for a box ---------------------------------------------------------------------

// From the mode on the probe goes out each second; the wait only decides
// when to give up, and never sends anything itself.
void TTerminalFace::StartWaitingForBox() {
  if (!FOptions.WaitForBoxSeconds) return;
  FBoxWait = FLoop.MakeTimer();
  FBoxWait->SetOnTick([this] { NoBoxAnswered(); });
  FBoxWait->Start(std::uint32_t(*FOptions.WaitForBoxSeconds) * 1000u);
}

void TTerminalFace::NoBoxAnswered() {
  FBoxWait->Stop();
  // A box that answered is in the download (or past it) by now.
  if (Download().Running() || DownloadResult() || FEndStatus) return;
  const std::string line = "stb-downloader: no box answered in " + std::to_string(*FOptions.WaitForBoxSeconds) +
                           " s on " + PortDevice();
  ClearProgressLine();
  std::cerr << line << '\n' << std::flush;
  if (FOptions.Json) Emit(MessageEvent(line));
  End(kExitNoDownload);
}

// --- interrupts -------------------------------------------------------------------------------

// While blocks go out an interrupt stops the transfer after the block on the
// line, as closing the window does after its question; before, it ends the
// run at once. During the receiver's checks it takes effect once they are over.
void TTerminalFace::OnInterrupt(bool terminate) {
  const std::string how = TTerminalLoop::InterruptName(terminate);
  if (!Download().Running()) {
    if (!DownloadResult()) {
      NoDownload(TFailureCause::NoReceiver, "stopped before a box answered: " + how);
      AppendLog(kCauseLinePrefix + State().Failure.Text);
    }
    End(kExitNoDownload);
    return;
  }
  SetStopReason(how);
  NoStopQuestion();
  CloseQuery();
}

void TTerminalFace::Pump() { FLoop.RunPending(); }

// --- the log, the state, the messages, the questions -----------------------------------------------

void TTerminalFace::Emit(const TEvent& event) { std::cout << EventJson(event) << '\n' << std::flush; }

void TTerminalFace::AddLogLine(const std::string& line) {
  if (FOptions.Json) {
    Emit(LogEvent(line));
  } else {
    ClearProgressLine();
    std::cout << line << '\n' << std::flush;
  }
  if (Download().Running() && FErrIsTerminal) DrawProgressLine();
}

// Each change is told once: the step reached, who answered, the progress;
// the last of the progress also when the download ends between two paces,
// so that a failure shows the blocks the receiver took.
void TTerminalFace::ShowState(const TRunState& state) {
  const TRunState before = FShown;
  FShown = state;
  if (FOptions.Json) {
    if (state.Step != before.Step && state.Step >= 0) Emit(StepEvent(state));
    if (state.Receiver && state.Receiver != before.Receiver)
      Emit(ReceiverEvent(*state.Receiver, !state.Receiver->DownloadAddress.empty()));
  }
  const bool running = state.Phase == TRunPhase::Sending || state.Phase == TRunPhase::Verifying;
  const bool ended = state.Result && !before.Result;
  if (FOptions.Json && (running || ended)) EmitProgress(state, ended);
  if (running && FErrIsTerminal) DrawProgressLine();
  if (state.Closing) End(ExitStatus(DownloadResult()));
}

// A change of phase, percent or bytes; the bar may stand at 100 a block
// before the end, and the bytes tell them apart.
void TTerminalFace::EmitProgress(const TRunState& state, bool last) {
  if (state.BytesSent == 0 && state.FlashPercent == 0 && state.TransferPercent == 0) return;
  const TEvent progress = ProgressEvent(state);
  if (FProgressTold && progress.FlashPhase == FLastProgress.FlashPhase &&
      EventPercent(progress) == EventPercent(FLastProgress) && progress.Bytes == FLastProgress.Bytes)
    return;
  // The transfer is paced by the core; the flash write's marks are not.
  const auto now = std::chrono::steady_clock::now();
  if (!last && EventPercent(progress) < 100 && FProgressTold && now - FLastProgressAt < kProgressInterval) return;
  FLastProgressAt = now;
  FProgressTold = true;
  FLastProgress = progress;
  Emit(progress);
}

bool TTerminalFace::Ask(TDialog kind, const std::string& text, const std::string& detail) {
  ClearProgressLine();
  switch (kind) {
    case TDialog::YesNo: return AnswerYesNo(text, detail);
    // Every close here comes without a question: a signal stops the transfer.
    case TDialog::StopQuestion: return true;
    case TDialog::ConnectError:
      std::cerr << text << '\n' << detail << '\n' << std::flush;
      if (FOptions.Json) Emit(MessageEvent(text + "\n" + detail));
      End(kExitNoDownload);
      return false;
    case TDialog::Error:
      std::cerr << text << '\n' << std::flush;
      if (FOptions.Json) Emit(MessageEvent(text));
      End(ExitStatus(DownloadResult()));
      return false;
    case TDialog::Message:
    case TDialog::Information: break;
  }
  std::cerr << text << '\n' << (detail.empty() ? "" : detail + '\n') << std::flush;
  if (FOptions.Json) Emit(MessageEvent(detail.empty() ? text : text + "\n" + detail));
  return false;
}

// Asked on a terminal, with y, yes, n or no in any case; without one, the
// option answers, and without the option the answer is yes: stop, nothing
// written. What the question is about (`detail`) comes on the line before it.
bool TTerminalFace::AnswerYesNo(const std::string& question, const std::string& detail) {
  bool yes = true;
  const char* by = "default";
  if (!detail.empty()) std::cerr << detail << '\n';
  if (FInputIsTerminal) {
    by = "operator";
    for (;;) {
      std::cerr << question << " [y/n] " << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) break;
      if (const auto word = YesOrNo(answer)) {
        yes = *word;
        break;
      }
    }
  } else if (FOptions.ContinueOnAddressMismatch) {
    by = "option";
    yes = !*FOptions.ContinueOnAddressMismatch;
  } else {
    std::cerr << question << " yes (no terminal to ask; --address-mismatch continue goes on)\n" << std::flush;
  }
  if (FOptions.Json)
    Emit(QuestionEvent(question, yes, by, State().QuestionFileAddress, State().QuestionBoxAddress));
  return yes;
}

// --- the progress line --------------------------------------------------------------------------------

void TTerminalFace::DrawProgressLine() {
  const std::string activity = ActivityText(FShown);
  std::string line = FShown.StepLine + "  Down Load " + std::to_string(FShown.TransferPercent) + " % " +
                     ByteCounterText(FShown.BytesSent, FShown.BytesTotal);
  if (!activity.empty()) line += "  " + activity;
  line += "  Flash Write " + std::to_string(FShown.FlashPercent) + " %";
  // Blanks over what a longer line before left, on any terminal.
  const std::size_t shown = line.size();
  if (line.size() < FProgressWidth) line.append(FProgressWidth - line.size(), ' ');
  FProgressWidth = shown;
  std::cerr << '\r' << line << std::flush;
  FProgressShown = true;
}

void TTerminalFace::ClearProgressLine() {
  if (!FProgressShown) return;
  std::cerr << '\r' << std::string(FProgressWidth, ' ') << '\r' << std::flush;
  FProgressShown = false;
  FProgressWidth = 0;
}
