#include "DownloadRecord.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <utility>

#include "Events.h"
#include "FileAccess.h"
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
    if (made == file_access::NewFile::Failed) return false;
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
                std::string& error, const std::optional<std::string>& trace, std::string* traceError) {
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
  if (!WriteNewFile(fs::path(folder) / FileStamp(record.Time), text, logPath, error)) return false;
  record.Log = logPath.string();
  record.Trace.reset();
  if (trace) {
    const fs::path tracePath = fs::path(logPath).replace_extension(".trace.txt");
    std::string why;
    if (file_access::WriteNew(tracePath, *trace, why) == file_access::NewFile::Written)
      record.Trace = tracePath.string();
    else if (traceError != nullptr)
      *traceError = why.empty() ? tracePath.string() + ": there already" : why;
  }
  return file_access::AppendWhole(fs::path(folder) / kRecordFileName, RecordJson(record) + "\n", error);
}

TDownloadRecorder::TDownloadRecorder(std::string port, std::string folder)
    : FFolder(folder.empty() ? RecordFolder() : std::move(folder)) {
  FRecord.Port = std::move(port);
}

void TDownloadRecorder::Reached(std::uint8_t mode, const TDownloadJob& job) {
  FReached = true;
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
}

void TDownloadRecorder::Identified(const TDeviceInfo& info, bool addressRead) {
  FRecord.Receiver = ReceiverIdentity(info, addressRead);
}

std::string TDownloadRecorder::Finish(TDownloadResult result, const std::string& reason,
                                      const std::optional<std::string>& trace) {
  if (!FReached) return {};
  FReached = false;
  FResult = result;
  FRecord.Result = result;
  FRecord.DurationS = std::chrono::duration<double>(std::chrono::steady_clock::now() - FStart).count();
  if (result == TDownloadResult::Failure) {
    if (!reason.empty())
      FRecord.FailedAt = reason;
    else if (!FLog.empty())
      FRecord.FailedAt = FLog.back();
  }
  std::string error, traceError;
  const bool saved = SaveRecord(FFolder, FRecord, FLog, error, trace, &traceError);
  if (!saved) return "  Download record not saved: " + error;
  if (!traceError.empty()) return "  Wire trace not saved: " + traceError;
  return {};
}
