// What a station says: the JSON lines of `stb-downloader --console --json`,
// read from its standard output as they come (in pieces of any size) and
// turned into events. No toolkit here: the bench's window only draws them,
// and a bench on another system can read the same pipe.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// One JSON value, enough of the format for the station's lines.
struct TJsonValue {
  enum class TKind { Null, Bool, Number, String, Array, Object };
  TKind Kind = TKind::Null;
  bool Bool = false;
  double Number = 0;
  std::string Text;
  std::vector<TJsonValue> Items;
  std::vector<std::pair<std::string, TJsonValue>> Members;

  // The member's value; none when this is no object or has no such member.
  const TJsonValue* Find(std::string_view key) const;
  // The member's text, or `otherwise` when it is missing or no string.
  std::string TextOf(std::string_view key, const std::string& otherwise = {}) const;
  std::optional<double> NumberOf(std::string_view key) const;
};

// The whole text as one JSON value; none when it is not exactly that.
std::optional<TJsonValue> ParseJson(std::string_view text);

enum class TStationEventKind { Log, Progress, Question, Receiver, Message, Result, Unknown };

struct TStationEvent {
  TStationEventKind Kind = TStationEventKind::Unknown;
  std::string Text;                 // log, message, question: the text
  // progress
  bool FlashPhase = false;
  int Percent = 0;
  std::int64_t Bytes = 0, Total = 0;
  // receiver
  std::string Oui, Model, Hardware;
  bool AddressRead = false;
  // result
  std::string Result;               // success, failed, stopped, no-download
  std::optional<std::string> FailedAt;
  std::optional<double> DurationS;  // from the record, when one was written
  bool Recorded = false;
};

// One line as an event; a line that is no JSON object with a known "event"
// comes back as Unknown with the line as its text.
TStationEvent ParseStationEvent(std::string_view line);

// Takes the station's output as it arrives and hands over every whole line
// as an event. A line longer than any the station writes is dropped, not
// kept growing.
class TStationReader {
public:
  explicit TStationReader(std::function<void(const TStationEvent&)> onEvent) : FOnEvent(std::move(onEvent)) {}
  void Feed(std::string_view bytes);
  // The end of the output: a last line without its line end still counts.
  void Finish();

private:
  void TakeLine();

  std::function<void(const TStationEvent&)> FOnEvent;
  std::string FLine;
  bool FOverlong = false;
};

inline constexpr std::size_t kLongestStationLine = 1 << 20;
