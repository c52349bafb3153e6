// The record of every download that reached a receiver: one JSON object per
// line in downloads.jsonl, with the whole log of the run saved beside it.
// A service centre keeps these as proof of what went into which box.
//
// Nothing here may stop or slow a download: a record that cannot be written
// comes back as one line for the log, and the download goes on.
//
// A download that reached a receiver writes two lines with the same "run":
// one with "result":"running" when the receiver answered, and its final one
// when it ends. A program that died in between (killed, a power cut) leaves
// the first alone; the next start of any face appends a third, its result
// "failure" and its cause "interrupted", with the blocks a small side file
// (<run>.running, rewritten about once a second) last counted.
#pragma once

#include <chrono>
#include <cstdint>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "DeviceCheck.h"
#include "DownloadJob.h"
#include "RunState.h"

struct TDownloadRecord {
  std::time_t Time = 0;  // when the receiver answered the mode word
  std::string Port;
  int Mode = 0;
  std::string ModeName;
  std::string Image;     // absolute path
  std::int64_t ImageBytes = 0;
  std::string ImageSha256;  // of the image as it was read and sent; empty when unknown
  std::optional<std::string> VersionWritten;  // "03.01", the pair the version table gets; none for no pair
  std::string DateCode;                       // what the version table gets after the pair
  std::optional<TReceiverIdentity> Receiver;
  int Blocks = 0;          // of the image
  int BlocksAccepted = 0;  // by the receiver
  int Resends = 0;
  double DurationS = 0;
  TDownloadResult Result = TDownloadResult::Failure;
  std::optional<std::string> FailedAt;
  std::string Log;       // path of the saved log
  std::optional<std::string> Trace;  // path of the wire trace kept beside the log; none when none was kept
  TFailure Failure;      // why it did not succeed; Cause None for a success
  bool Running = false;  // the first line of a download: "result":"running"
  std::string Run;       // the same in a download's lines; empty in an older record
  long Pid = 0;          // of the program that ran it
  bool operator==(const TDownloadRecord&) const = default;
};

TReceiverIdentity ReceiverIdentity(const TDeviceInfo& info, bool addressRead = true);
// The program's exit status after a run.
inline constexpr int kExitSuccess = 0;         // its download succeeded
inline constexpr int kExitDownloadFailed = 1;  // its download failed or was stopped
inline constexpr int kExitNoDownload = 2;      // no download reached a receiver
int ExitStatus(const std::optional<TDownloadResult>& result);

// ISO 8601 local time with the offset from UTC, e.g. 2026-12-07T23:04:05+01:00.
std::string IsoLocalTime(std::time_t t);
// The time IsoLocalTime wrote; none when the text is not one.
std::optional<std::time_t> IsoTimeValue(const std::string& text);

// $XDG_STATE_HOME/stb-downloader, else ~/.local/state/stb-downloader
// (%LOCALAPPDATA%\stb-downloader on Windows); empty when there is no home.
std::string RecordFolder();
inline constexpr const char* kRecordFileName = "downloads.jsonl";

// Saves the log as a text file in `folder`, names it in the record, then
// appends the record to downloads.jsonl in one write. False with the reason
// in `error` when either could not be written; a log that could not be
// written leaves no file behind and the record is appended all the same,
// naming no log. A trace, when given, is saved
// beside the log under its name (".trace.txt" for ".log") and named in the
// record; one that cannot be written leaves the record without it and its
// reason in `traceError`.
bool SaveRecord(const std::string& folder, TDownloadRecord& record, const std::vector<std::string>& log,
                std::string& error, const std::optional<std::string>& trace = std::nullopt,
                std::string* traceError = nullptr, bool* lineWritten = nullptr);

// Follows one run of the window: every log line, and from the moment the
// receiver answered the mode word, what the record needs. The window feeds it
// the log; the exchange feeds it the rest.
// The downloads in `folder`'s record that started and never ended, by a
// program that is no longer running: each gets its "interrupted" line. The
// lines for the log that say so, one a download.
std::vector<std::string> MarkInterrupted(const std::string& folder);

class TDownloadRecorder {
public:
  // `folder` empty: the usual RecordFolder().
  explicit TDownloadRecorder(std::string port, std::string folder = {});

  void LogLine(const std::string& line) { FLog.push_back(line); }
  // The port the next download's record names.
  void SetPort(std::string port) { FRecord.Port = std::move(port); }
  const std::vector<std::string>& Log() const { return FLog; }
  // Writes the running line; the line for the log when it could not be.
  std::string Reached(std::uint8_t mode, const TDownloadJob& job);
  void Identified(const TDeviceInfo& info, bool addressRead);
  void BlockAccepted();
  void BlockResent() { ++FRecord.Resends; }
  // Completes and writes the record of the download reached before. Returns
  // the line for the log when it could not be written, else an empty text.
  // `reason`, when given, stands in for the last log line as failed_at.
  // `trace`, when given, is kept beside the log (see SaveRecord); a trace
  // that could not be written is one more line for the log.
  std::string Finish(TDownloadResult result, const std::string& reason = {},
                     const std::optional<std::string>& trace = std::nullopt, const TFailure& failure = {});
  // The record of the last download could not be written: why; empty when it was.
  const std::string& RecordError() const { return FRecordError; }
  // The last log line, or `reason` when given: where a failure is said to be.
  std::string FailedAtNow(const std::string& reason) const;

  bool Reaching() const { return FReached; }
  // The result of the last download of this run; none before one reached the receiver.
  const std::optional<TDownloadResult>& Result() const { return FResult; }
  const TDownloadRecord& Record() const { return FRecord; }
  const std::string& Folder() const { return FFolder; }

private:
  std::string FFolder;
  std::vector<std::string> FLog;
  TDownloadRecord FRecord;
  bool FReached = false;
  std::optional<TDownloadResult> FResult;
  std::chrono::steady_clock::time_point FStart;
  std::chrono::steady_clock::time_point FCounted;  // when the side file last took the blocks
  std::string FRecordError;
  std::optional<std::string> FFailedAt;  // taken before the plain line that follows it
};
