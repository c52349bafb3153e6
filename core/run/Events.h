// The JSON a run writes for programs: the events of `stb-downloader
// --console --json`, one object a line, and the record of every download
// (one object a line in downloads.jsonl). Written here and read here, so the
// terminal face that writes them and the bench that reads them can never
// spell a field two ways.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "DownloadRecord.h"
#include "RunState.h"

enum class TEventKind {
  Log,       // a log line, as the window shows it
  Step,      // a numbered step was reached: its number and its line
  Progress,  // the bars, the bytes, the pace
  Receiver,  // who answered
  Question,  // a question and the answer it got
  Message,   // what a window would show in a message box
  Result,    // the end: the result and the record, always last
  Unknown,   // a line that is none of these (kept as Text)
};

struct TEvent {
  TEventKind Kind = TEventKind::Unknown;
  std::string Text;  // Log, Step, Question, Message: the text; Unknown: the line

  // Step
  int Step = -1;

  // Progress: the phase it tells ("download" or "flash"), both bars, the bytes
  // the receiver accepted of the whole blocks, and the pace once known.
  bool FlashPhase = false;
  int TransferPercent = 0;
  int FlashPercent = 0;
  std::int64_t Bytes = 0, Total = 0;
  std::optional<double> BytesPerSecond;
  std::optional<double> SecondsLeft;

  // Receiver
  TReceiverIdentity Receiver;
  bool AddressRead = false;

  // Question
  bool Answer = false;
  std::string AnsweredBy;  // "operator", "option" or "default"
  // The download address question: the description file's address and the receiver's, "0x80010000".
  std::string FileAddress, BoxAddress;

  // Result: none for a run that reached no receiver.
  std::optional<TDownloadResult> Result;
  std::optional<std::string> FailedAt;
  std::optional<TDownloadRecord> Record;
  // Why it did not succeed, with or without a download; and why its record
  // could not be written, when it could not.
  TFailure Failure;
  std::string RecordError;

  bool operator==(const TEvent&) const = default;
};

// The percent a progress event tells: the flash bar's in the flash phase,
// the transfer's otherwise.
inline int EventPercent(const TEvent& e) { return e.FlashPhase ? e.FlashPercent : e.TransferPercent; }

// Events as the state gives them.
TEvent LogEvent(const std::string& line);
TEvent StepEvent(const TRunState& state);
TEvent ProgressEvent(const TRunState& state);
TEvent ReceiverEvent(const TReceiverIdentity& receiver, bool addressRead);
TEvent QuestionEvent(const std::string& question, bool answer, const std::string& by,
                     const std::string& fileAddress = {}, const std::string& boxAddress = {});
TEvent MessageEvent(const std::string& text);
TEvent ResultEvent(const std::optional<TDownloadResult>& result, const std::optional<std::string>& failedAt,
                   const std::optional<TDownloadRecord>& record, const TFailure& failure = {},
                   const std::string& recordError = {});

// One line of JSON, without its line end.
std::string EventJson(const TEvent& event);
// A line as an event; a line that is no JSON object with a known "event"
// comes back as Unknown with the line as its text.
TEvent ParseEvent(std::string_view line);

// The record as one line of JSON (without its line end), and back; none
// when the text is no record.
// A download's first line says "result":"running" (TDownloadRecord::Running).
inline constexpr const char* kRunningName = "running";
std::string RecordJson(const TDownloadRecord& record);
std::optional<TDownloadRecord> ParseRecord(std::string_view line);

// A text as a JSON string, quotes included: escaped, and Latin-1 (the log's
// character set) carried into UTF-8 where the text is not UTF-8 already.
std::string JsonText(const std::string& text);

// Takes a program's output as it arrives and hands over every whole line as
// an event. A line longer than any a station writes is dropped, not kept
// growing.
class TEventReader {
public:
  explicit TEventReader(std::function<void(const TEvent&)> onEvent) : FOnEvent(std::move(onEvent)) {}
  void Feed(std::string_view bytes);
  // The end of the output: a last line without its line end still counts.
  void Finish();

private:
  void TakeLine();

  std::function<void(const TEvent&)> FOnEvent;
  std::string FLine;
  bool FOverlong = false;
};

inline constexpr std::size_t kLongestEventLine = 1 << 20;
