#include "Events.h"

#include <cstdlib>

#include "Format.h"

namespace {

// --- writing ----------------------------------------------------------------------------------------

// Valid UTF-8 goes through as it is; anything else is taken as Latin-1, the
// log's own character set.
bool IsUtf8(const std::string& s) {
  for (std::size_t i = 0; i < s.size();) {
    const auto c = std::uint8_t(s[i]);
    const std::size_t n = c < 0x80 ? 1 : (c >> 5) == 0x6 ? 2 : (c >> 4) == 0xE ? 3 : (c >> 3) == 0x1E ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((std::uint8_t(s[i + k]) >> 6) != 0x2) return false;
    i += n;
  }
  return true;
}

std::string OptionalText(const std::optional<std::string>& s) { return s ? JsonText(*s) : "null"; }
std::string NonEmptyText(const std::string& s) { return s.empty() ? "null" : JsonText(s); }
// A pace or a time left to a tenth: finer than any face shows, and short.
std::string OptionalNumber(const std::optional<double>& v) { return v ? Format("%.1f", *v) : "null"; }

// The receiver's fields, as the receiver event and the record both give them.
std::string ReceiverMembers(const TReceiverIdentity& id, bool addressRead) {
  return "\"oui\":" + JsonText(id.Oui) + ",\"model\":" + JsonText(id.Model) + ",\"hardware\":" + JsonText(id.Hardware) +
         ",\"bootloader\":" + JsonText(id.Bootloader) + ",\"native\":" + JsonText(id.Native) +
         ",\"download_address\":" + (addressRead ? JsonText(id.DownloadAddress) : std::string("null"));
}

// The cause and what goes with it, as the record and the result event both
// give them: null throughout for a success.
std::string FailureMembers(const TFailure& f) {
  const bool none = f.Cause == TFailureCause::None;
  return "\"cause\":" + (none ? std::string("null") : JsonText(CauseName(f.Cause))) +
         ",\"cause_stage\":" + NonEmptyText(f.Stage) +
         ",\"cause_block\":" + (f.Block ? std::to_string(*f.Block) : std::string("null")) +
         ",\"last_heard\":" + NonEmptyText(f.LastHeard) + ",\"cause_text\":" + NonEmptyText(f.Text);
}

// --- reading ----------------------------------------------------------------------------------------

// One JSON value, enough of the format for the lines a run writes.
struct TJsonValue {
  enum class TKind { Null, Bool, Number, String, Array, Object };
  TKind Kind = TKind::Null;
  bool Bool = false;
  double Number = 0;
  std::string Text;
  std::vector<TJsonValue> Items;
  std::vector<std::pair<std::string, TJsonValue>> Members;

  const TJsonValue* Find(std::string_view key) const {
    for (const auto& [k, v] : Members)
      if (k == key) return &v;
    return nullptr;
  }
  std::string TextOf(std::string_view key) const {
    const TJsonValue* v = Find(key);
    return v != nullptr && v->Kind == TKind::String ? v->Text : std::string();
  }
  std::optional<std::string> OptionalTextOf(std::string_view key) const {
    const TJsonValue* v = Find(key);
    return v != nullptr && v->Kind == TKind::String ? std::optional<std::string>(v->Text) : std::nullopt;
  }
  std::optional<double> NumberOf(std::string_view key) const {
    const TJsonValue* v = Find(key);
    if (v == nullptr || v->Kind != TKind::Number) return std::nullopt;
    return v->Number;
  }
  std::int64_t IntegerOf(std::string_view key) const { return std::int64_t(NumberOf(key).value_or(0)); }
};

// Depth enough for the record inside the result; a run never nests deeper.
constexpr int kDeepest = 16;

class TJsonParser {
public:
  explicit TJsonParser(std::string_view text) : FText(text) {}

  std::optional<TJsonValue> Whole() {
    TJsonValue v;
    if (!Value(v, 0)) return std::nullopt;
    Blanks();
    if (FPos != FText.size()) return std::nullopt;
    return v;
  }

private:
  void Blanks() {
    while (FPos < FText.size() && (FText[FPos] == ' ' || FText[FPos] == '\t' || FText[FPos] == '\r' || FText[FPos] == '\n'))
      ++FPos;
  }
  bool Take(char c) {
    Blanks();
    if (FPos >= FText.size() || FText[FPos] != c) return false;
    ++FPos;
    return true;
  }
  bool Word(std::string_view w) {
    if (FText.substr(FPos, w.size()) != w) return false;
    FPos += w.size();
    return true;
  }

  bool Value(TJsonValue& v, int depth) {
    if (depth > kDeepest) return false;
    Blanks();
    if (FPos >= FText.size()) return false;
    const char c = FText[FPos];
    if (c == '{') return Object(v, depth);
    if (c == '[') return Array(v, depth);
    if (c == '"') {
      v.Kind = TJsonValue::TKind::String;
      return String(v.Text);
    }
    if (Word("null")) return true;
    if (Word("true") || Word("false")) {
      v.Kind = TJsonValue::TKind::Bool;
      v.Bool = FText[FPos - 1] == 'e' && FText[FPos - 4] == 't';
      return true;
    }
    return Number(v);
  }

  bool Object(TJsonValue& v, int depth) {
    v.Kind = TJsonValue::TKind::Object;
    ++FPos;
    if (Take('}')) return true;
    do {
      std::string key;
      TJsonValue member;
      if (!Take('"')) return false;
      --FPos;
      if (!String(key) || !Take(':') || !Value(member, depth + 1)) return false;
      v.Members.emplace_back(std::move(key), std::move(member));
    } while (Take(','));
    return Take('}');
  }

  bool Array(TJsonValue& v, int depth) {
    v.Kind = TJsonValue::TKind::Array;
    ++FPos;
    if (Take(']')) return true;
    do {
      TJsonValue item;
      if (!Value(item, depth + 1)) return false;
      v.Items.push_back(std::move(item));
    } while (Take(','));
    return Take(']');
  }

  bool Number(TJsonValue& v) {
    const std::size_t start = FPos;
    while (FPos < FText.size() && std::string_view("+-0123456789.eE").find(FText[FPos]) != std::string_view::npos) ++FPos;
    if (FPos == start) return false;
    const std::string digits(FText.substr(start, FPos - start));
    char* end = nullptr;
    v.Number = std::strtod(digits.c_str(), &end);
    v.Kind = TJsonValue::TKind::Number;
    return end == digits.c_str() + digits.size();
  }

  bool Hex4(std::uint32_t& out) {
    if (FPos + 4 > FText.size()) return false;
    out = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = FText[FPos++];
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      out = out << 4 | std::uint32_t(d);
    }
    return true;
  }

  static void Utf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += char(cp);
    } else if (cp < 0x800) {
      out += char(0xC0 | (cp >> 6));
      out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += char(0xE0 | (cp >> 12));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    } else {
      out += char(0xF0 | (cp >> 18));
      out += char(0x80 | ((cp >> 12) & 0x3F));
      out += char(0x80 | ((cp >> 6) & 0x3F));
      out += char(0x80 | (cp & 0x3F));
    }
  }

  bool String(std::string& out) {
    ++FPos;  // the opening quote
    while (FPos < FText.size()) {
      const char c = FText[FPos++];
      if (c == '"') return true;
      if (std::uint8_t(c) < 0x20) return false;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (FPos >= FText.size()) return false;
      const char e = FText[FPos++];
      switch (e) {
        case '"': case '\\': case '/': out += e; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          std::uint32_t cp = 0;
          if (!Hex4(cp)) return false;
          // A pair of surrogates is one character; a lone one is kept as the
          // replacement character rather than ending the line.
          if (cp >= 0xD800 && cp < 0xDC00 && Word("\\u")) {
            std::uint32_t low = 0;
            if (!Hex4(low)) return false;
            cp = low >= 0xDC00 && low < 0xE000 ? 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00) : 0xFFFD;
          } else if (cp >= 0xD800 && cp < 0xE000) {
            cp = 0xFFFD;
          }
          Utf8(out, cp);
          break;
        }
        default: return false;
      }
    }
    return false;
  }

  std::string_view FText;
  std::size_t FPos = 0;
};

std::optional<TJsonValue> ParseObject(std::string_view text) {
  std::optional<TJsonValue> v = TJsonParser(text).Whole();
  if (!v || v->Kind != TJsonValue::TKind::Object) return std::nullopt;
  return v;
}

TReceiverIdentity ReceiverOf(const TJsonValue& json) {
  return {json.TextOf("oui"), json.TextOf("model"), json.TextOf("hardware"), json.TextOf("bootloader"),
          json.TextOf("native"), json.TextOf("download_address")};
}

bool AddressIn(const TJsonValue& json) {
  const TJsonValue* address = json.Find("download_address");
  return address != nullptr && address->Kind == TJsonValue::TKind::String;
}

TFailure FailureOf(const TJsonValue& json) {
  TFailure f;
  f.Cause = CauseFromName(json.TextOf("cause"));
  f.Stage = json.TextOf("cause_stage");
  if (const std::optional<double> block = json.NumberOf("cause_block")) f.Block = int(*block);
  f.LastHeard = json.TextOf("last_heard");
  f.Text = json.TextOf("cause_text");
  return f;
}

std::optional<TDownloadRecord> RecordOf(const TJsonValue& json) {
  if (json.Kind != TJsonValue::TKind::Object) return std::nullopt;
  const bool running = json.TextOf("result") == kRunningName;
  const std::optional<TDownloadResult> result =
      running ? std::optional(TDownloadResult::Failure) : ResultFromName(json.TextOf("result"));
  if (!result) return std::nullopt;
  TDownloadRecord r;
  r.Running = running;
  r.Time = IsoTimeValue(json.TextOf("time")).value_or(0);
  r.Port = json.TextOf("port");
  if (const TJsonValue* mode = json.Find("mode"); mode != nullptr) {
    r.Mode = int(mode->IntegerOf("number"));
    r.ModeName = mode->TextOf("name");
  }
  r.Image = json.TextOf("image");
  r.ImageBytes = json.IntegerOf("image_bytes");
  r.ImageSha256 = json.TextOf("image_sha256");
  r.VersionWritten = json.OptionalTextOf("version_written");
  r.DateCode = json.TextOf("date_code");
  if (const TJsonValue* id = json.Find("receiver"); id != nullptr && id->Kind == TJsonValue::TKind::Object)
    r.Receiver = ReceiverOf(*id);
  r.Blocks = int(json.IntegerOf("blocks"));
  r.BlocksAccepted = int(json.IntegerOf("blocks_accepted"));
  r.Resends = int(json.IntegerOf("resends"));
  r.DurationS = json.NumberOf("duration_s").value_or(0);
  r.Result = *result;
  r.FailedAt = json.OptionalTextOf("failed_at");
  r.Log = json.TextOf("log");
  r.Trace = json.OptionalTextOf("trace");
  r.Failure = FailureOf(json);
  r.Run = json.TextOf("run");
  r.Pid = long(json.IntegerOf("pid"));
  return r;
}

// A result this reader does not know (an older station's "failed" among
// them) did not succeed.
std::optional<TDownloadResult> EventResult(const std::string& name) {
  if (name == ResultName(std::nullopt)) return std::nullopt;
  return ResultFromName(name).value_or(TDownloadResult::Failure);
}

}  // namespace

std::string JsonText(const std::string& s) {
  const bool utf8 = IsUtf8(s);
  std::string out = "\"";
  for (char ch : s) {
    const auto c = std::uint8_t(ch);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += ch;
    } else if (c < 0x20 || c == 0x7F) {
      out += Format("\\u%04x", unsigned(c));
    } else if (c >= 0x80 && !utf8) {
      out += char(0xC0 | (c >> 6));
      out += char(0x80 | (c & 0x3F));
    } else {
      out += ch;
    }
  }
  return out + "\"";
}

// --- the events as the state gives them -----------------------------------------------------------

TEvent LogEvent(const std::string& line) {
  TEvent e;
  e.Kind = TEventKind::Log;
  e.Text = line;
  return e;
}

TEvent StepEvent(const TRunState& state) {
  TEvent e;
  e.Kind = TEventKind::Step;
  e.Step = state.Step;
  e.Text = state.StepLine;
  return e;
}

TEvent ProgressEvent(const TRunState& state) {
  TEvent e;
  e.Kind = TEventKind::Progress;
  // The flash bar moves only once the receiver writes its flash.
  e.FlashPhase = state.FlashPercent > 0;
  e.TransferPercent = state.TransferPercent;
  e.FlashPercent = state.FlashPercent;
  e.Bytes = state.BytesSent;
  e.Total = state.BytesTotal;
  e.BytesPerSecond = state.BytesPerSecond;
  e.SecondsLeft = state.SecondsLeft;
  return e;
}

TEvent ReceiverEvent(const TReceiverIdentity& receiver, bool addressRead) {
  TEvent e;
  e.Kind = TEventKind::Receiver;
  e.Receiver = receiver;
  e.AddressRead = addressRead;
  if (!addressRead) e.Receiver.DownloadAddress.clear();
  return e;
}

TEvent QuestionEvent(const std::string& question, bool answer, const std::string& by, const std::string& fileAddress,
                     const std::string& boxAddress) {
  TEvent e;
  e.Kind = TEventKind::Question;
  e.Text = question;
  e.Answer = answer;
  e.AnsweredBy = by;
  e.FileAddress = fileAddress;
  e.BoxAddress = boxAddress;
  return e;
}

TEvent MessageEvent(const std::string& text) {
  TEvent e;
  e.Kind = TEventKind::Message;
  e.Text = text;
  return e;
}

TEvent ResultEvent(const std::optional<TDownloadResult>& result, const std::optional<std::string>& failedAt,
                   const std::optional<TDownloadRecord>& record, const TFailure& failure,
                   const std::string& recordError) {
  TEvent e;
  e.Kind = TEventKind::Result;
  e.Result = result;
  e.FailedAt = failedAt;
  e.Record = record;
  e.Failure = failure;
  e.RecordError = recordError;
  return e;
}

// --- the one writer ---------------------------------------------------------------------------------

std::string EventJson(const TEvent& e) {
  switch (e.Kind) {
    case TEventKind::Log: return "{\"event\":\"log\",\"text\":" + JsonText(e.Text) + "}";
    case TEventKind::Step:
      return "{\"event\":\"step\",\"step\":" + std::to_string(e.Step) + ",\"text\":" + JsonText(e.Text) + "}";
    case TEventKind::Progress:
      // "percent" is the phase's bar, as scripts read it from the start.
      return Format("{\"event\":\"progress\",\"phase\":\"%s\",\"percent\":%d,\"bytes\":%lld,\"total\":%lld,"
                    "\"transfer_percent\":%d,\"flash_percent\":%d,",
                    e.FlashPhase ? "flash" : "download", EventPercent(e), static_cast<long long>(e.Bytes),
                    static_cast<long long>(e.Total), e.TransferPercent, e.FlashPercent) +
             "\"rate\":" + OptionalNumber(e.BytesPerSecond) + ",\"seconds_left\":" + OptionalNumber(e.SecondsLeft) +
             "}";
    case TEventKind::Receiver: return "{\"event\":\"receiver\"," + ReceiverMembers(e.Receiver, e.AddressRead) + "}";
    case TEventKind::Question:
      return "{\"event\":\"question\",\"text\":" + JsonText(e.Text) + ",\"answer\":\"" + (e.Answer ? "yes" : "no") +
             "\",\"by\":" + JsonText(e.AnsweredBy) +
             (e.FileAddress.empty() ? std::string()
                                    : ",\"file_address\":" + JsonText(e.FileAddress) +
                                          ",\"box_address\":" + JsonText(e.BoxAddress)) +
             "}";
    case TEventKind::Message: return "{\"event\":\"message\",\"text\":" + JsonText(e.Text) + "}";
    case TEventKind::Result:
      return "{\"event\":\"result\",\"result\":\"" + std::string(ResultName(e.Result)) +
             "\",\"failed_at\":" + OptionalText(e.FailedAt) +
             ",\"record\":" + (e.Record ? RecordJson(*e.Record) : std::string("null")) + "," +
             FailureMembers(e.Failure) + ",\"record_error\":" + NonEmptyText(e.RecordError) + "}";
    case TEventKind::Unknown: break;
  }
  return e.Text;
}

std::string RecordJson(const TDownloadRecord& r) {
  const std::string receiver =
      r.Receiver ? "{" + ReceiverMembers(*r.Receiver, !r.Receiver->DownloadAddress.empty()) + "}" : "null";
  return "{\"time\":" + JsonText(IsoLocalTime(r.Time)) + ",\"port\":" + JsonText(r.Port) +
         ",\"mode\":{\"number\":" + std::to_string(r.Mode) + ",\"name\":" + JsonText(r.ModeName) + "}" +
         ",\"image\":" + JsonText(r.Image) + ",\"image_bytes\":" + std::to_string(r.ImageBytes) +
         ",\"image_sha256\":" + NonEmptyText(r.ImageSha256) + ",\"version_written\":" + OptionalText(r.VersionWritten) +
         ",\"date_code\":" + JsonText(r.DateCode) + ",\"receiver\":" + receiver +
         ",\"blocks\":" + std::to_string(r.Blocks) + ",\"blocks_accepted\":" + std::to_string(r.BlocksAccepted) +
         ",\"resends\":" + std::to_string(r.Resends) + ",\"duration_s\":" + Format("%.1f", r.DurationS) +
         ",\"result\":\"" + (r.Running ? kRunningName : ResultName(r.Result)) + "\"" +
         ",\"failed_at\":" + OptionalText(r.FailedAt) +
         ",\"log\":" + (r.Log.empty() ? std::string("null") : JsonText(r.Log)) +
         (r.Trace ? ",\"trace\":" + JsonText(*r.Trace) : std::string()) + "," + FailureMembers(r.Failure) +
         (r.Run.empty() ? std::string() : ",\"run\":" + JsonText(r.Run) + ",\"pid\":" + std::to_string(r.Pid)) + "}";
}

// --- the one reader ---------------------------------------------------------------------------------

TEvent ParseEvent(std::string_view line) {
  TEvent e;
  const std::optional<TJsonValue> json = ParseObject(line);
  const std::string kind = json ? json->TextOf("event") : std::string();
  if (kind == "log" || kind == "message") {
    e.Kind = kind == "log" ? TEventKind::Log : TEventKind::Message;
    e.Text = json->TextOf("text");
  } else if (kind == "step") {
    e.Kind = TEventKind::Step;
    e.Step = int(json->NumberOf("step").value_or(-1));
    e.Text = json->TextOf("text");
  } else if (kind == "progress") {
    e.Kind = TEventKind::Progress;
    e.FlashPhase = json->TextOf("phase") == "flash";
    // A line with the phase's bar only: the flash is written only once the
    // whole image went over.
    const int percent = int(json->IntegerOf("percent"));
    e.TransferPercent = int(json->NumberOf("transfer_percent").value_or(e.FlashPhase ? 100 : percent));
    e.FlashPercent = int(json->NumberOf("flash_percent").value_or(e.FlashPhase ? percent : 0));
    e.Bytes = json->IntegerOf("bytes");
    e.Total = json->IntegerOf("total");
    e.BytesPerSecond = json->NumberOf("rate");
    e.SecondsLeft = json->NumberOf("seconds_left");
  } else if (kind == "receiver") {
    e.Kind = TEventKind::Receiver;
    e.Receiver = ReceiverOf(*json);
    e.AddressRead = AddressIn(*json);
  } else if (kind == "question") {
    e.Kind = TEventKind::Question;
    e.Text = json->TextOf("text");
    e.Answer = json->TextOf("answer") == "yes";
    e.AnsweredBy = json->TextOf("by");
    e.FileAddress = json->TextOf("file_address");
    e.BoxAddress = json->TextOf("box_address");
  } else if (kind == "result") {
    e.Kind = TEventKind::Result;
    e.Result = EventResult(json->TextOf("result"));
    e.FailedAt = json->OptionalTextOf("failed_at");
    if (const TJsonValue* record = json->Find("record"); record != nullptr) e.Record = RecordOf(*record);
    e.Failure = FailureOf(*json);
    e.RecordError = json->TextOf("record_error");
  } else {
    e.Text = std::string(line);
  }
  return e;
}

std::optional<TDownloadRecord> ParseRecord(std::string_view line) {
  const std::optional<TJsonValue> json = ParseObject(line);
  return json ? RecordOf(*json) : std::nullopt;
}

void TEventReader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!FOverlong) FLine.append(piece);
    if (FLine.size() > kLongestEventLine) {
      FOverlong = true;
      FLine.clear();
    }
    if (end == std::string_view::npos) return;
    TakeLine();
    bytes.remove_prefix(end + 1);
  }
}

void TEventReader::Finish() {
  if (!FLine.empty()) TakeLine();
  FOverlong = false;
}

void TEventReader::TakeLine() {
  std::string line;
  line.swap(FLine);
  const bool dropped = FOverlong;
  FOverlong = false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (dropped || line.empty()) return;
  FOnEvent(ParseEvent(line));
}
