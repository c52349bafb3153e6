#include "Bench.h"

#include <algorithm>
#include <cctype>
#include <exception>
#include <map>
#include <utility>
#include <vector>

#include "CounterText.h"
#include "DescriptionFile.h"
#include "FileError.h"
#include "Format.h"
#include "PortList.h"
#include "PortMemory.h"
#include "StatusText.h"

namespace {

// A station that ended without reaching a box (its port would not open, say)
// is started again after this pause, not in a tight loop.
constexpr double kRestartPauseS = 2.0;

// The log's texts and the system's reasons come as Latin-1; the window
// shows UTF-8.
std::string Utf8OfLatin1(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x80) {
      out += c;
    } else {
      out += char(0xC0 | (byte >> 6));
      out += char(0x80 | (byte & 0x3F));
    }
  }
  return out;
}

double SteadySeconds() {
  static const auto start = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

struct TBench::TSlot {
  explicit TSlot(const std::string& port) : Model(port), Reader([this](const TEvent& e) { Pending.push_back(e); }) {}

  TBenchRow Model;
  TEventReader Reader;
  std::vector<TEvent> Pending;
  std::unique_ptr<TStationProcess> Station;
  std::string Err;        // standard error since its last whole line
  std::string LastError;  // its last line there, or why it could not start
  std::optional<double> RestartAtS;
  bool Ticked = false;  // an offered port the operator ticked
};

TBench::TBench(TBenchOptions options, TStationMaker makeStation, TClock clock)
    : FOptions(std::move(options)), FMakeStation(std::move(makeStation)), FClock(clock ? std::move(clock) : SteadySeconds) {
  FOffering = FOptions.Ports.empty() && !FOptions.Offered.empty();
  for (const std::string& port : FOffering ? FOptions.Offered : FOptions.Ports)
    FRows.push_back(std::make_unique<TSlot>(port));
  if (FOffering) FHead.Header = kBenchTickHeader;
}

TBench::~TBench() {
  FClosing = true;
  StopStations();
}

// --- the keyword ------------------------------------------------------------------------

bool TBench::Key(std::uint8_t c) {
  if (FModeChoice.Mode() != 0 || !FModeChoice.Key(c)) return false;
  if (FOffering && TickedPorts().empty()) {
    FModeChoice = TModeChoice();
    FHead.Header = kBenchTickFirstHeader;
    return false;
  }
  if (FOffering) UserBenchPortMemory()->Remember(TickedPorts());
  ModeChosen();
  return true;
}

bool TBench::SetTicked(std::size_t i, bool on) {
  if (!FOffering || Mode() != 0 || i >= FRows.size()) return false;
  FRows[i]->Ticked = on;
  // A header asking for a tick is answered once there is one.
  FHead.Header = kBenchTickHeader;
  return true;
}

std::vector<std::string> TBench::TickedPorts() const {
  std::vector<std::string> ports;
  for (const auto& row : FRows)
    if (row->Ticked) ports.push_back(row->Model.Port());
  return ports;
}

bool TBench::InUse(std::size_t i) const { return !FOffering || FRows[i]->Ticked || Mode() == 0; }

void TBench::ModeChosen() {
  FHead.Header = Utf8OfLatin1(FModeChoice.Info().LogLine);
  // Read once here, to show what every box is about to get; each station
  // reads the same file for its own download and checks its own blocks.
  try {
    FModeChoice.ReadDescription([](const std::string&) {});
  } catch (const std::exception& e) {
    const auto* file = dynamic_cast<const TFileError*>(&e);
    FHead.ImageLine = Utf8OfLatin1(e.what());
    FHead.DigestLine = file != nullptr ? Utf8OfLatin1(file->Detail()) : std::string();
    FHead.Problem = true;
    return;
  }
  const TDownloadJob& job = FModeChoice.Job();
  FHead.ImageLine = Format("Image: %s   %lld bytes, %lld blocks", job.ImageFileName.c_str(),
                           static_cast<long long>(job.ImageFileBytes), static_cast<long long>(job.BlockCount()));
  FHead.DigestLine = "SHA-256: " + job.ImageSha256;
  for (std::size_t i = 0; i < FRows.size(); ++i) StartStation(i);
}

// --- the stations -------------------------------------------------------------------------

void TBench::StartStation(std::size_t i) {
  TSlot& row = *FRows[i];
  row.RestartAtS.reset();
  if (FClosing || !FModeChoice.JobReady() || !InUse(i) || (row.Station && row.Station->Running())) return;
  std::vector<std::string> args = StationArguments(row.Model.Port());
  if (FOptions.ContinueOnAddressMismatch) args.insert(args.end(), {"--address-mismatch", "continue"});
  if (!FOptions.Trace.empty()) args.insert(args.end(), {"--trace", StationTraceFile(FOptions.Trace, row.Model.Port())});
  row.Station = FMakeStation();
  row.Err.clear();
  row.LastError.clear();
  row.Model.StationStarted(Now());
  // The keyword as the first line of its input, never on the command line,
  // where every process listing would show it.
  std::string error;
  if (!row.Station->Start(FOptions.StationProgram, args, FModeChoice.Keyword() + "\n", error)) {
    row.LastError = error;
    row.Station.reset();
    StationEnded(i, -1, false);
  }
}

void TBench::Look() {
  for (std::size_t i = 0; i < FRows.size(); ++i) {
    Look(i);
    if (FRows[i]->RestartAtS && Now() >= *FRows[i]->RestartAtS) StartStation(i);
  }
}

// What the station wrote since the last look, as events; and its end. Its
// last word on standard error is its last line there that is not blank,
// with or without its line end (CR LF on Windows).
void TBench::Look(std::size_t i) {
  TSlot& row = *FRows[i];
  if (!row.Station) return;
  const bool ended = row.Station->Ended();
  std::string out;
  row.Station->Read(out, row.Err);
  if (!out.empty()) row.Reader.Feed(out);
  if (std::string line = LastWrittenLine(row.Err); !line.empty()) row.LastError = std::move(line);
  while (!row.LastError.empty() && row.LastError.back() == '\r') row.LastError.pop_back();
  // A line not yet ended is read again, whole, at the next look.
  row.Err.erase(0, row.Err.rfind('\n') + 1);
  if (ended) row.Reader.Finish();
  const double now = Now();
  for (const TEvent& e : row.Pending) row.Model.Take(e, now);
  row.Pending.clear();
  if (!ended) return;
  const int code = row.Station->ExitCode();
  const bool signalled = row.Station->Signalled();
  row.Station.reset();
  StationEnded(i, code, signalled);
}

void TBench::StationEnded(std::size_t i, int code, bool signalled) {
  TSlot& row = *FRows[i];
  row.Model.StationEnded(code, signalled, row.LastError, Now());
  if (FClosing || !FOptions.Continuous) return;
  if (row.Model.EndedWithoutBox())
    row.RestartAtS = Now() + kRestartPauseS;
  else
    StartStation(i);
}

void TBench::SetContinuous(bool on) {
  FOptions.Continuous = on;
  for (std::size_t i = 0; i < FRows.size(); ++i) {
    if (!on)
      FRows[i]->RestartAtS.reset();
    else if (!FRows[i]->Station && Mode() != 0)
      StartStation(i);
  }
}

void TBench::StopStations() {
  for (auto& row : FRows) {
    row->RestartAtS.reset();
    if (!row->Station) continue;
    row->Model.StopAsked();
    row->Station->Terminate();
  }
}

// --- closing -----------------------------------------------------------------------------------

TBenchClose TBench::Close(bool ask) const {
  bool sending = false;
  for (const auto& row : FRows) sending = sending || row->Model.Sending();
  const TCloseStep step = DecideClose(!Idle(), sending, ask);
  if (step == TCloseStep::CloseNow) return TBenchClose::Now;
  if (FClosing) return TBenchClose::Wait;
  return step == TCloseStep::AskThenStop ? TBenchClose::Ask : TBenchClose::Stop;
}

void TBench::StopForClose() {
  FClosing = true;
  FHead.Header = "Stopping the stations; the bench closes once every port is let go.";
  StopStations();
}

// --- the state ---------------------------------------------------------------------------------

const TBenchRow& TBench::Row(std::size_t i) const { return FRows[i]->Model; }

// The time left moves while blocks go out; the box's time is shown once it
// is over: a clock per row ticking every second would be most of what the
// window paints.
TBenchRowText TBench::RowText(std::size_t i) const {
  const TBenchRow& m = FRows[i]->Model;
  TBenchRowText t;
  auto& label = t.Labels;
  label[TBenchRowText::Port] = m.Port();
  if (FOffering) {
    t.Tick = FRows[i]->Ticked ? TBenchRowText::TTick::On : TBenchRowText::TTick::Off;
    t.TickLocked = Mode() != 0;
  }
  if (!InUse(i)) {
    t.InUse = false;
    label[TBenchRowText::Stage] = kBenchNotInUse;
    return t;
  }
  label[TBenchRowText::Box] = m.Identity();
  label[TBenchRowText::Stage] = Utf8OfLatin1(m.Stage());
  t.DownloadPercent = m.DownloadPercent();
  t.FlashPercent = m.FlashPercent();
  if (m.Total() > 0) label[TBenchRowText::Bytes] = ByteCounterText(m.Bytes(), m.Total());
  if (m.Rate()) label[TBenchRowText::Pace] = PaceText(*m.Rate());
  if (const auto left = m.SecondsLeft()) label[TBenchRowText::Left] = MinutesText(*left);
  label[TBenchRowText::Result] = Utf8OfLatin1(m.ResultText());
  t.Reason = label[TBenchRowText::Result];
  t.Success = m.Result() == TRowResult::Success;
  const auto took = m.Result() != TRowResult::None ? m.Seconds(Now()) : std::nullopt;
  if (took) label[TBenchRowText::Time] = MinutesText(*took);
  label[TBenchRowText::Passed] = std::to_string(m.Passed());
  label[TBenchRowText::Failed] = std::to_string(m.Failed());
  return t;
}

bool TBench::Idle() const {
  for (const auto& row : FRows)
    if (row->Model.Running() || row->RestartAtS) return false;
  return true;
}

int TBench::Passed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Passed();
  return n;
}

int TBench::Failed() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.Failed();
  return n;
}

std::string TBench::TotalsText() const {
  return Format("Passed %d   Failed %d   Boxes %d", Passed(), Failed(), Passed() + Failed());
}

std::string TBench::CauseTotalsText() const {
  std::map<TFailureCause, int> counts;
  for (const auto& row : FRows)
    for (const auto& [cause, n] : row->Model.FailedBy()) counts[cause] += n;
  std::vector<std::pair<std::string, int>> named;
  for (const auto& [cause, n] : counts) named.emplace_back(cause == TFailureCause::None ? "other" : CauseName(cause), n);
  if (named.empty()) return {};
  std::stable_sort(named.begin(), named.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
  std::string text = "Failed by cause:";
  for (const auto& [name, n] : named) text += (text.back() == ':' ? " " : "   ") + name + " " + std::to_string(n);
  return text;
}

int TBench::StationFailures() const {
  int n = 0;
  for (const auto& row : FRows) n += row->Model.StationFailures();
  return n;
}

// A port whose station never got to a box fails the bench as a failed box
// does, once any box was reached; with none reached it is a bench that
// flashed nothing.
int TBench::ExitStatus() const {
  if (Failed() > 0 || (StationFailures() > 0 && Passed() > 0)) return 1;
  return Passed() > 0 ? 0 : 2;
}

std::vector<long> TBench::StationPids() const {
  std::vector<long> pids;
  for (const auto& row : FRows)
    if (row->Station && row->Station->Pid() > 0) pids.push_back(row->Station->Pid());
  return pids;
}

// --- the ports ---------------------------------------------------------------------------------

std::vector<std::string> BenchPorts(const std::vector<std::string>& given) {
  const auto memory = UserBenchPortMemory();
  if (!given.empty()) {
    memory->Remember(given);
    return given;
  }
  return memory->Remembered();
}

bool TakeBenchPorts(const std::vector<std::string>& given, TBenchOptions& options) {
  options.Ports = BenchPorts(given);
  options.Offered.clear();
  if (options.Ports.empty())
    for (const TSerialDevice& device : SerialDevices()) options.Offered.push_back(device.Path);
  return !options.Ports.empty() || !options.Offered.empty();
}

std::string StationTraceFile(const std::string& file, const std::string& port) {
  std::string name = port.substr(port.find_last_of("/\\") + 1);
  for (char& c : name)
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-' && c != '_' && c != '.') c = '_';
  const std::size_t base = file.find_last_of("/\\") + 1;
  const std::size_t dot = file.rfind('.');
  const std::size_t at = dot != std::string::npos && dot > base ? dot : file.size();
  return file.substr(0, at) + "-" + name + file.substr(at);
}
