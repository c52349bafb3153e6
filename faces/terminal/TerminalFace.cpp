#include "TerminalFace.h"

#include <cstdio>
#include <iostream>

#include "DownloadRecord.h"
#include "FormLayout.h"
#include "SerialDrv.h"
#include "StatusText.h"

namespace {

constexpr const char* kKeywordPrompt = "Download mode: ";
constexpr auto kProgressInterval = std::chrono::milliseconds(100);

const char* ResultName(const std::optional<TDownloadResult>& r) {
  if (!r) return "no-download";
  switch (*r) {
    case TDownloadResult::Success: return "success";
    case TDownloadResult::Stopped: return "stopped";
    case TDownloadResult::Failure: break;
  }
  return "failed";
}

}  // namespace

TTerminalFace::TTerminalFace(const TTerminalOptions& options) : FOptions(options) {
  FInputIsTerminal = TTerminalLoop::InputIsTerminal();
  FErrIsTerminal = TTerminalLoop::ErrorIsTerminal();
  CreateComponents(options.Port, FLoop.MakeTimer(), FLoop.MakeTimer());
  FLoop.OnInterrupt = [this] { OnInterrupt(); };
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
    const auto& record = Recorder().Result() ? std::optional<std::string>(RecordJson(Recorder().Record())) : std::nullopt;
    const TDownloadRecord& r = Recorder().Record();
    Emit("{\"event\":\"result\",\"result\":\"" + std::string(ResultName(DownloadResult())) +
         "\",\"failed_at\":" + (DownloadResult() && r.FailedAt ? JsonText(*r.FailedAt) : std::string("null")) +
         ",\"record\":" + (record ? *record : std::string("null")) + "}");
  }
  std::cout.flush();
  return FEndStatus.value_or(kExitNoDownload);
}

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
    if (DownloadMode == 0 && !FEndStatus) {
      std::cerr << (FInputIsTerminal ? "\n" : "") << "stb-downloader: no download mode was given\n";
      End(kExitNoDownload);
    }
    return;
  }
  for (long i = 0; i < n && DownloadMode == 0 && !FEndStatus; ++i) {
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
  ResetKeywordSlots(KeywordSlots);
  for (char c : word) {
    KeyTyped(std::uint8_t(c));
    if (DownloadMode != 0 || FEndStatus) break;
  }
  if (DownloadMode != 0 || FEndStatus) {
    FLoop.StopWatchingInput();
    TTerminalLoop::EchoInput(true);
    return;
  }
  if (FInputIsTerminal) {
    std::cerr << "Not a download mode. " << kKeywordPrompt << std::flush;
    return;
  }
  std::cerr << "stb-downloader: the first line of standard input is not a download mode\n";
  FLoop.StopWatchingInput();
  End(kExitNoDownload);
}

// --- interrupts -------------------------------------------------------------------------------

// While blocks go out an interrupt stops the transfer after the block on the
// line, as closing the window does after its question; before, it ends the
// run at once. During the receiver's checks it takes effect once they are over.
void TTerminalFace::OnInterrupt() {
  if (!Download().Running()) {
    End(kExitNoDownload);
    return;
  }
  NoStopQuestion();
  CloseQuery();
}

void TTerminalFace::PumpMessages() { FLoop.RunPending(); }

void TTerminalFace::DestroyForm() { End(ExitStatus(DownloadResult())); }

// --- the log, the messages, the questions ---------------------------------------------------------

void TTerminalFace::Emit(const std::string& json) { std::cout << json << '\n' << std::flush; }

void TTerminalFace::ShowLogLine(const std::string& line) {
  // The numbered lines name the stage the progress line shows.
  if (line.size() > 2 && line[0] >= '0' && line[0] <= '9' && line[1] == '.') FStage = line;
  if (FOptions.Json) {
    Emit("{\"event\":\"log\",\"text\":" + JsonText(line) + "}");
  } else {
    ClearProgressLine();
    std::cout << line << '\n' << std::flush;
  }
  ShowProgress(true);
}

// For a program that follows the download: who answered, once it said so.
void TTerminalFace::ShowReceiver(const TDeviceInfo& info, bool addressRead) {
  if (!FOptions.Json) return;
  const TReceiverIdentity id = ReceiverIdentity(info, addressRead);
  Emit("{\"event\":\"receiver\",\"oui\":" + JsonText(id.Oui) + ",\"model\":" + JsonText(id.Model) +
       ",\"hardware\":" + JsonText(id.Hardware) + ",\"bootloader\":" + JsonText(id.Bootloader) +
       ",\"native\":" + JsonText(id.Native) + ",\"download_address\":" +
       (addressRead ? JsonText(id.DownloadAddress) : std::string("null")) + "}");
}

void TTerminalFace::ShowErrorText(const char* text) {
  ClearProgressLine();
  std::cerr << text << '\n' << std::flush;
  if (FOptions.Json) Emit("{\"event\":\"message\",\"text\":" + JsonText(text) + "}");
  End(ExitStatus(DownloadResult()));
}

bool TTerminalFace::ShowDialog(TDialog kind, const std::string& text, const std::string& detail) {
  ClearProgressLine();
  switch (kind) {
    case TDialog::YesNo: return AskYesNo(text);
    // Every close here comes without a question: see OnSignal.
    case TDialog::StopQuestion: return true;
    case TDialog::ConnectError:
      std::cerr << text << '\n' << detail << '\n' << std::flush;
      if (FOptions.Json) Emit("{\"event\":\"message\",\"text\":" + JsonText(text + "\n" + detail) + "}");
      End(kExitNoDownload);
      return false;
    case TDialog::Message:
    case TDialog::Information: break;
  }
  std::cerr << text << '\n' << std::flush;
  if (FOptions.Json) Emit("{\"event\":\"message\",\"text\":" + JsonText(text) + "}");
  return false;
}

// Asked on a terminal, with an explicit y or n; without one, the option
// answers, and without the option the answer is yes: stop, nothing written.
bool TTerminalFace::AskYesNo(const std::string& question) {
  bool yes = true;
  const char* by = "default";
  if (FInputIsTerminal) {
    by = "operator";
    for (;;) {
      std::cerr << question << " [y/n] " << std::flush;
      std::string answer;
      if (!std::getline(std::cin, answer)) break;
      if (answer == "y" || answer == "Y") break;
      if (answer == "n" || answer == "N") {
        yes = false;
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
    Emit("{\"event\":\"question\",\"text\":" + JsonText(question) + ",\"answer\":\"" + (yes ? "yes" : "no") +
         "\",\"by\":\"" + by + "\"}");
  return yes;
}

// --- progress ---------------------------------------------------------------------------------------

// The bar moves first and the counter follows it: the progress is told once
// both have, so that its bytes are the block's.
void TTerminalFace::DrawTransferProgress(int percent) {
  FPhase = "download";
  FTransferPercent = percent;
}

void TTerminalFace::DrawFlashProgress(int percent) {
  FPhase = "flash";
  FFlashPercent = percent;
  ShowProgress(percent >= 100);
}

void TTerminalFace::DrawByteCounter(const std::string& text) {
  FByteCounter = text;
  if (FPhase == "download") ShowProgress(FTransferPercent >= 100);
}

void TTerminalFace::DrawStrip(const TStripState& strip) {
  const std::string lead = strip.PortText + kStripSeparator;
  FActivity = strip.Text.rfind(lead, 0) == 0 ? strip.Text.substr(lead.size()) : std::string();
}

void TTerminalFace::PaintNow() { ShowProgress(true); }

void TTerminalFace::ShowProgress(bool force) {
  if (!Download().Running()) return;
  const auto now = std::chrono::steady_clock::now();
  const bool due = force || now - FLastProgress >= kProgressInterval;
  if (FOptions.Json) EmitProgress(due);
  if (due && FErrIsTerminal) DrawProgressLine();
  if (due) FLastProgress = now;
}

// A change of phase or percent, at most about ten a second, and always the 100.
void TTerminalFace::EmitProgress(bool due) {
  const bool flash = FPhase == "flash";
  const int percent = flash ? FFlashPercent : FTransferPercent;
  const std::int64_t total = DownloadJob.ImageSize();
  long long done = 0, all = 0;
  // The flash write is told in marks, not bytes: its share of the image.
  if (flash || std::sscanf(FByteCounter.c_str(), "( %lld / %lld )", &done, &all) != 2) done = total * percent / 100;
  // The bar may stand at 100 a block before the end: the bytes tell them apart.
  const std::string sent = FPhase + " " + std::to_string(percent) + " " + std::to_string(done);
  if (sent == FLastProgressSent || (!due && percent < 100)) return;
  FLastProgressSent = sent;
  Emit("{\"event\":\"progress\",\"phase\":\"" + FPhase + "\",\"percent\":" + std::to_string(percent) +
       ",\"bytes\":" + std::to_string(done) + ",\"total\":" + std::to_string(total) + "}");
}

void TTerminalFace::DrawProgressLine() {
  std::string line = FStage + "  Down Load " + std::to_string(FTransferPercent) + " % " + FByteCounter;
  if (!FActivity.empty()) line += "  " + FActivity;
  line += "  Flash Write " + std::to_string(FFlashPercent) + " %";
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
