#include "DownloadRecord.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "Events.h"
#include "FileAccess.h"
#include "FileHandle.h"
#include "Format.h"
#include "ModeSelect.h"

namespace fs = std::filesystem;

namespace {

std::string PairText(const TBytePair& p) { return Format("%02X.%02X", p.First, p.Second); }

// Days since 1970-01-01 of a civil date (Howard Hinnant's algorithm).
long long DaysFromCivil(long long y, unsigned m, unsigned d) {
  y -= m <= 2;
  const long long era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = unsigned(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + (long long)doe - 719468;
}

long long SecondsOf(const std::tm& t) {
  return DaysFromCivil(t.tm_year + 1900LL, unsigned(t.tm_mon + 1), unsigned(t.tm_mday)) * 86400 +
         t.tm_hour * 3600LL + t.tm_min * 60LL + t.tm_sec;
}

// Each result is copied before the next call: the program's one thread is
// the only caller, so the runtime's shared record is safe to use.
bool SplitTime(std::time_t t, std::tm& local, std::tm& utc) {
  const std::tm* l = std::localtime(&t);
  if (l == nullptr) return false;
  local = *l;
  const std::tm* u = std::gmtime(&t);
  if (u == nullptr) return false;
  utc = *u;
  return true;
}

// A new file, never one that is there already: two runs in the same second
// get a second name, not each other's log.
bool WriteNewFile(const fs::path& stem, const std::string& text, fs::path& written, std::string& error) {
  for (int n = 1; n < 100; ++n) {
    fs::path path = stem;
    path += (n == 1 ? std::string() : "-" + std::to_string(n)) + ".log";
    const file_access::NewFile made = file_access::WriteNew(path, text, error);
    if (made == file_access::NewFile::Exists) continue;
    if (made == file_access::NewFile::Failed) {
      // A log cut short by a full disk is no log: nothing is left to mislead.
      std::error_code ec;
      fs::remove(path, ec);
      return false;
    }
    written = path;
    return true;
  }
  error = stem.string() + ".log: too many logs of the same second";
  return false;
}

std::string FileStamp(std::time_t t) {
  std::tm local{}, utc{};
  if (!SplitTime(t, local, utc)) return "download";
  return Format("download-%04d%02d%02d-%02d%02d%02d", local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                local.tm_hour, local.tm_min, local.tm_sec);
}

fs::path SideFile(const std::string& folder, const std::string& run) {
  std::string name = run;
  for (char& c : name)
    if (c == ':' || c == '/' || c == '\\') c = '-';
  return fs::path(folder) / (name + ".running");
}

std::vector<std::string> FileLines(const fs::path& path) {
  std::vector<std::string> lines;
  const TFileHandle file = TFileHandle::OpenForReading(path.string());
  if (!file.IsOpen()) return lines;
  std::string text, line;
  char buffer[65536];
  for (long long n; (n = file_access::Read(file.Fd(), buffer, sizeof buffer)) > 0;) text.append(buffer, std::size_t(n));
  for (char c : text) {
    if (c != '\n') {
      line += c;
      continue;
    }
    lines.push_back(line);
    line.clear();
  }
  return lines;
}

}  // namespace

int ExitStatus(const std::optional<TDownloadResult>& result) {
  if (!result) return kExitNoDownload;
  return *result == TDownloadResult::Success ? kExitSuccess : kExitDownloadFailed;
}

TReceiverIdentity ReceiverIdentity(const TDeviceInfo& info, bool addressRead) {
  TReceiverIdentity id;
  id.Oui = Format("%02X%02X", info.Oui[0], info.Oui[1]);
  id.Model = PairText(info.ModelCode);
  id.Hardware = PairText(info.HardwareVersion);
  id.Bootloader = PairText(info.BootloaderVersion);
  id.Native = PairText(info.NativeVersion);
  if (addressRead) id.DownloadAddress = Format("0x%08X", unsigned(info.DownloadAddress));
  return id;
}

std::string IsoLocalTime(std::time_t t) {
  std::tm local{}, utc{};
  if (!SplitTime(t, local, utc)) return {};
  const long long offset = SecondsOf(local) - SecondsOf(utc);
  const long long minutes = (offset < 0 ? -offset : offset) / 60;
  return Format("%04d-%02d-%02dT%02d:%02d:%02d%c%02lld:%02lld", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec, offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
}

std::optional<std::time_t> IsoTimeValue(const std::string& text) {
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0, oh = 0, om = 0, end = 0;
  char sign = 0;
  if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%c%2d:%2d%n", &y, &mo, &d, &h, &mi, &s, &sign, &oh, &om,
                  &end) != 9 ||
      std::size_t(end) != text.size() || (sign != '+' && sign != '-') || mo < 1 || mo > 12 || d < 1 || d > 31)
    return std::nullopt;
  const long long offset = (sign == '-' ? -1 : 1) * (oh * 3600LL + om * 60LL);
  return std::time_t(DaysFromCivil(y, unsigned(mo), unsigned(d)) * 86400 + h * 3600LL + mi * 60LL + s - offset);
}

std::string RecordFolder() {
  // A relative XDG_STATE_HOME is invalid and is ignored, as the convention says.
  if (const char* state = std::getenv("XDG_STATE_HOME"); state != nullptr && fs::path(state).is_absolute())
    return (fs::path(state) / "stb-downloader").string();
  if (const fs::path base = file_access::UserStateFolder(); !base.empty()) return (base / "stb-downloader").string();
  return {};
}

bool SaveRecord(const std::string& folder, TDownloadRecord& record, const std::vector<std::string>& log,
                std::string& error, const std::optional<std::string>& trace, std::string* traceError,
                bool* lineWritten) {
  if (lineWritten != nullptr) *lineWritten = false;
  if (folder.empty()) {
    error = "no home folder to keep it in";
    return false;
  }
  std::error_code ec;
  fs::create_directories(folder, ec);
  if (ec) {
    error = folder + ": " + ec.message();
    return false;
  }
  std::string text;
  for (const std::string& line : log) text += line + "\n";
  fs::path logPath;
  record.Trace.reset();
  std::string logError;
  if (!WriteNewFile(fs::path(folder) / FileStamp(record.Time), text, logPath, logError)) {
    record.Log.clear();
    // The line is the proof of what went into the box; the log only its story.
    const bool appended =
        file_access::AppendWhole(fs::path(folder) / kRecordFileName, RecordJson(record) + "\n", error);
    if (lineWritten != nullptr) *lineWritten = appended;
    error = appended ? logError : error + "; its log: " + logError;
    return false;
  }
  record.Log = logPath.string();
  if (trace) {
    const fs::path tracePath = fs::path(logPath).replace_extension(".trace.txt");
    std::string why;
    if (file_access::WriteNew(tracePath, *trace, why) == file_access::NewFile::Written)
      record.Trace = tracePath.string();
    else if (traceError != nullptr)
      *traceError = why.empty() ? tracePath.string() + ": there already" : why;
  }
  const bool appended = file_access::AppendWhole(fs::path(folder) / kRecordFileName, RecordJson(record) + "\n", error);
  if (lineWritten != nullptr) *lineWritten = appended;
  return appended;
}

TDownloadRecorder::TDownloadRecorder(std::string port, std::string folder)
    : FFolder(folder.empty() ? RecordFolder() : std::move(folder)) {
  FRecord.Port = std::move(port);
}

std::vector<std::string> MarkInterrupted(const std::string& folder) {
  std::vector<std::string> said;
  if (folder.empty()) return said;
  std::vector<TDownloadRecord> open;
  for (const std::string& line : FileLines(fs::path(folder) / kRecordFileName)) {
    const std::optional<TDownloadRecord> r = ParseRecord(line);
    if (!r || r->Run.empty()) continue;
    std::erase_if(open, [&](const TDownloadRecord& o) { return o.Run == r->Run; });
    if (r->Running) open.push_back(*r);
  }
  for (TDownloadRecord r : open) {
    if (file_access::ProcessRunning(r.Pid) && r.Pid != file_access::ThisProcessId()) continue;
    const fs::path side = SideFile(folder, r.Run);
    for (const std::string& line : FileLines(side))
      if (!line.empty()) r.BlocksAccepted = std::max(r.BlocksAccepted, std::atoi(line.c_str()));
    r.Running = false;
    r.Result = TDownloadResult::Failure;
    r.Failure.Cause = TFailureCause::Interrupted;
    r.Failure.Stage = r.BlocksAccepted > 0 ? "DownLoad" : "Machine Information";
    r.Failure.Text = Format("the program ended while the download ran (killed, or the power went): %d of %d "
                            "blocks had been accepted",
                            r.BlocksAccepted, r.Blocks);
    std::string error;
    if (!file_access::AppendWhole(fs::path(folder) / kRecordFileName, RecordJson(r) + "\n", error)) {
      said.push_back("  Download record not saved: " + error);
      continue;
    }
    std::error_code ec;
    fs::remove(side, ec);
    said.push_back(Format("  An earlier download did not end (%s on %s, mode %d): recorded as interrupted after "
                          "%d of %d blocks",
                          IsoLocalTime(r.Time).c_str(), r.Port.c_str(), r.Mode, r.BlocksAccepted, r.Blocks));
  }
  return said;
}

std::string TDownloadRecorder::Reached(std::uint8_t mode, const TDownloadJob& job) {
  FReached = true;
  FRecordError.clear();
  FFailedAt.reset();
  FStart = std::chrono::steady_clock::now();
  FRecord.Time = std::time(nullptr);
  FRecord.Mode = mode;
  FRecord.ModeName = ModeInfo(mode).Name;
  std::error_code ec;
  FRecord.Image = fs::absolute(job.ImageFileName, ec).lexically_normal().string();
  if (ec) FRecord.Image = job.ImageFileName;
  // What was read and sent, never the file as it may be by the time the
  // download ends.
  FRecord.ImageBytes = job.ImageFileBytes;
  FRecord.ImageSha256 = job.ImageSha256;
  const TBytePair* pair = job.SelectedVersion();
  FRecord.VersionWritten = pair ? std::optional<std::string>(PairText(*pair)) : std::nullopt;
  FRecord.DateCode = job.DateCode;
  FRecord.Blocks = job.BlockCount();
  FRecord.BlocksAccepted = FRecord.Resends = 0;
  FRecord.Receiver.reset();
  FRecord.FailedAt.reset();
  FRecord.Failure = {};
  FRecord.Log.clear();
  FRecord.Trace.reset();
  FRecord.Pid = file_access::ThisProcessId();
  FRecord.Run = Format("%s/%ld/%s", IsoLocalTime(FRecord.Time).c_str(), FRecord.Pid, FRecord.Port.c_str());
  FRecord.Running = true;
  FCounted = FStart;
  std::string error;
  ec.clear();
  if (FFolder.empty()) error = "no home folder to keep it in";
  else fs::create_directories(FFolder, ec);
  if (ec) error = FFolder + ": " + ec.message();
  const bool written =
      error.empty() && file_access::AppendWhole(fs::path(FFolder) / kRecordFileName, RecordJson(FRecord) + "\n", error);
  FRecord.Running = false;
  if (written) return {};
  FRecordError = error;
  return "  Download record not saved: " + error;
}

// The side file takes the count about once a second: a kill loses a second
// of blocks at most, and the line never waits on the disk for long.
void TDownloadRecorder::BlockAccepted() {
  ++FRecord.BlocksAccepted;
  const auto now = std::chrono::steady_clock::now();
  if (now - FCounted < std::chrono::seconds(1) || FFolder.empty()) return;
  FCounted = now;
  std::string error;
  const int fd = file_access::CreateForWriting(SideFile(FFolder, FRecord.Run), error);
  if (fd < 0) return;
  file_access::WriteAll(fd, std::to_string(FRecord.BlocksAccepted) + "\n", {}, error);
  file_access::Close(fd);
}

std::string TDownloadRecorder::FailedAtNow(const std::string& reason) const {
  if (!reason.empty()) return reason;
  return FLog.empty() ? std::string() : FLog.back();
}

void TDownloadRecorder::Identified(const TDeviceInfo& info, bool addressRead) {
  FRecord.Receiver = ReceiverIdentity(info, addressRead);
}

std::string TDownloadRecorder::Finish(TDownloadResult result, const std::string& reason,
                                      const std::optional<std::string>& trace, const TFailure& failure) {
  if (!FReached) return {};
  FReached = false;
  FResult = result;
  FRecord.Result = result;
  FRecord.Failure = failure;
  FRecord.DurationS = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  if (result == TDownloadResult::Failure) {
    const std::string at = FailedAtNow(reason);
    if (!at.empty()) FRecord.FailedAt = at;
  }
  std::string error, traceError;
  bool lineWritten = false;
  const bool saved = SaveRecord(FFolder, FRecord, FLog, error, trace, &traceError, &lineWritten);
  if (!FFolder.empty() && !FRecord.Run.empty()) {
    std::error_code ec;
    fs::remove(SideFile(FFolder, FRecord.Run), ec);
  }
  if (!saved && lineWritten) return "  Download log not saved (the record line was written): " + error;
  if (!saved) {
    FRecordError = error;
    return "  Download record not saved: " + error;
  }
  if (!traceError.empty()) return "  Wire trace not saved: " + traceError;
  return {};
}
