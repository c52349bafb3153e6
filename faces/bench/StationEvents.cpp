#include "StationEvents.h"

#include <cstdlib>

namespace {

// Depth enough for the record inside the result; a station never nests deeper.
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

}  // namespace

const TJsonValue* TJsonValue::Find(std::string_view key) const {
  for (const auto& [k, v] : Members)
    if (k == key) return &v;
  return nullptr;
}

std::string TJsonValue::TextOf(std::string_view key, const std::string& otherwise) const {
  const TJsonValue* v = Find(key);
  return v != nullptr && v->Kind == TKind::String ? v->Text : otherwise;
}

std::optional<double> TJsonValue::NumberOf(std::string_view key) const {
  const TJsonValue* v = Find(key);
  if (v == nullptr || v->Kind != TKind::Number) return std::nullopt;
  return v->Number;
}

std::optional<TJsonValue> ParseJson(std::string_view text) { return TJsonParser(text).Whole(); }

TStationEvent ParseStationEvent(std::string_view line) {
  TStationEvent e;
  e.Text = std::string(line);
  const std::optional<TJsonValue> json = ParseJson(line);
  if (!json || json->Kind != TJsonValue::TKind::Object) return e;
  const std::string kind = json->TextOf("event");
  if (kind == "log" || kind == "message" || kind == "question") {
    e.Kind = kind == "log" ? TStationEventKind::Log : kind == "message" ? TStationEventKind::Message : TStationEventKind::Question;
    e.Text = json->TextOf("text");
  } else if (kind == "progress") {
    e.Kind = TStationEventKind::Progress;
    e.FlashPhase = json->TextOf("phase") == "flash";
    e.Percent = int(json->NumberOf("percent").value_or(0));
    e.Bytes = std::int64_t(json->NumberOf("bytes").value_or(0));
    e.Total = std::int64_t(json->NumberOf("total").value_or(0));
  } else if (kind == "receiver") {
    e.Kind = TStationEventKind::Receiver;
    e.Oui = json->TextOf("oui");
    e.Model = json->TextOf("model");
    e.Hardware = json->TextOf("hardware");
    const TJsonValue* address = json->Find("download_address");
    e.AddressRead = address != nullptr && address->Kind == TJsonValue::TKind::String;
  } else if (kind == "result") {
    e.Kind = TStationEventKind::Result;
    e.Result = json->TextOf("result");
    if (const TJsonValue* at = json->Find("failed_at"); at != nullptr && at->Kind == TJsonValue::TKind::String)
      e.FailedAt = at->Text;
    if (const TJsonValue* record = json->Find("record"); record != nullptr && record->Kind == TJsonValue::TKind::Object) {
      e.Recorded = true;
      e.DurationS = record->NumberOf("duration_s");
    }
  }
  return e;
}

void TStationReader::Feed(std::string_view bytes) {
  while (!bytes.empty()) {
    const std::size_t end = bytes.find('\n');
    const std::string_view piece = bytes.substr(0, end);
    if (!FOverlong) FLine.append(piece);
    if (FLine.size() > kLongestStationLine) {
      FOverlong = true;
      FLine.clear();
    }
    if (end == std::string_view::npos) return;
    TakeLine();
    bytes.remove_prefix(end + 1);
  }
}

void TStationReader::Finish() {
  if (!FLine.empty()) TakeLine();
  FOverlong = false;
}

void TStationReader::TakeLine() {
  std::string line;
  line.swap(FLine);
  const bool dropped = FOverlong;
  FOverlong = false;
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (dropped || line.empty()) return;
  FOnEvent(ParseStationEvent(line));
}
