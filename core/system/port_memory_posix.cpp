// The remembered ports on Linux: the INI files that earlier versions wrote
// with QSettings, read and written here without the toolkit. The port is key
// "port" of section [General] (the bench's ports: key "ports", a list whose
// strings a comma and a space part), spelled the way QSettings spells a string:
// quoted when it holds ; , = or starts or ends with a space, backslash
// escapes for \ " and control characters, a leading @ doubled.
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string_view>
#include <vector>

#include "PortChoice.h"
#include "PortMemory.h"

namespace {

constexpr std::string_view kSection = "General";

bool IsSpace(char c) { return c == ' ' || c == '\t'; }

bool IsHexDigit(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

unsigned HexValue(char c) { return std::isdigit(static_cast<unsigned char>(c)) ? unsigned(c - '0') : unsigned((c | 0x20) - 'a' + 10); }

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (IsSpace(s.front()) || s.front() == '\r')) s.remove_prefix(1);
  while (!s.empty() && (IsSpace(s.back()) || s.back() == '\r')) s.remove_suffix(1);
  return s;
}

void AppendUtf8(std::string& out, unsigned long cp) {
  if (cp < 0x80) {
    out += char(cp);
  } else if (cp < 0x800) {
    out += char(0xC0 | (cp >> 6));
    out += char(0x80 | (cp & 0x3F));
  } else {
    out += char(0xE0 | ((cp >> 12) & 0x0F));
    out += char(0x80 | ((cp >> 6) & 0x3F));
    out += char(0x80 | (cp & 0x3F));
  }
}

// The escape after the backslash before v[i]; i is left on its last character.
void AppendEscape(std::string_view v, std::size_t& i, std::string& out) {
  const char e = v[i];
  switch (e) {
    case 'a': out += '\a'; break;
    case 'b': out += '\b'; break;
    case 'f': out += '\f'; break;
    case 'n': out += '\n'; break;
    case 'r': out += '\r'; break;
    case 't': out += '\t'; break;
    case 'v': out += '\v'; break;
    case 'x': {
      unsigned long cp = 0;
      while (i + 1 < v.size() && IsHexDigit(v[i + 1])) cp = cp * 16 + HexValue(v[++i]);
      AppendUtf8(out, cp & 0xFFFF);
      break;
    }
    case '0': case '1': case '2': case '3': case '4': case '5': case '6': case '7': {
      unsigned long cp = unsigned(e - '0');
      for (int n = 1; n < 3 && i + 1 < v.size() && v[i + 1] >= '0' && v[i + 1] <= '7'; ++n)
        cp = cp * 8 + unsigned(v[++i] - '0');
      AppendUtf8(out, cp);
      break;
    }
    default: out += e; break;  // \\ \" \' \? and the unknown: the character itself
  }
}

// One string as QSettings reads it back: its own types start with @ and end
// with ); a string of ours that starts with @ has it doubled.
std::optional<std::string> StringOf(const std::string& out) {
  if (out.rfind("@@", 0) == 0) return out.substr(1);
  if (out.rfind("@ByteArray(", 0) == 0 && out.back() == ')') return out.substr(11, out.size() - 12);
  if (out.rfind("@", 0) == 0 && out.back() == ')') return std::nullopt;  // @Invalid(), @Variant(...)
  return out;
}

// The value after "key=" as the strings QSettings reads from it: a list
// when commas outside quotes part it, none at all for "@Invalid()" (how it
// writes an empty list). None when it would not read strings there.
std::optional<std::vector<std::string>> UnescapedList(std::string_view v) {
  std::vector<std::string> items;
  std::string out;
  std::size_t kept = 0;  // unquoted trailing blanks are not the value's
  bool inQuotes = false;
  const auto finish = [&] {
    out.resize(kept);
    const auto item = StringOf(out);
    if (item) items.push_back(*item);
    out.clear();
    kept = 0;
    return item.has_value();
  };
  v = Trimmed(v);
  if (v == "@Invalid()") return items;
  for (std::size_t i = 0; i < v.size(); ++i) {
    const char c = v[i];
    if (c == '"') {
      inQuotes = !inQuotes;
    } else if (!inQuotes && c == ',') {
      if (!finish()) return std::nullopt;
      while (i + 1 < v.size() && IsSpace(v[i + 1])) ++i;
    } else if (!inQuotes && c == ';') {
      break;
    } else if (c != '\\' || i + 1 == v.size()) {
      out += c;
      if (inQuotes || !IsSpace(c)) kept = out.size();
    } else {
      AppendEscape(v, ++i, out);
      kept = out.size();
    }
  }
  if (!finish()) return std::nullopt;
  return items;
}

// The value after "port=". None when QSettings would not read it as one
// string either: a list (a comma outside quotes) or an invalid value.
std::optional<std::string> Unescaped(std::string_view v) {
  auto items = UnescapedList(v);
  if (!items || items->size() != 1) return std::nullopt;
  return std::move(items->front());
}

std::string Escaped(const std::string& value) {
  const std::string s = !value.empty() && value[0] == '@' ? "@" + value : value;
  std::string out;
  bool needsQuotes = false;
  bool escapeNextIfDigit = false;
  for (const char c : s) {
    if (c == ';' || c == ',' || c == '=') needsQuotes = true;
    // \x reads every hex digit that follows: a digit after one is escaped too.
    if (escapeNextIfDigit && IsHexDigit(c)) {
      std::ostringstream hex;
      hex << "\\x" << std::hex << unsigned(static_cast<unsigned char>(c));
      out += hex.str();
      continue;
    }
    escapeNextIfDigit = false;
    switch (c) {
      case '\0': out += "\\0"; escapeNextIfDigit = true; break;
      case '\a': out += "\\a"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\v': out += "\\v"; break;
      case '"': case '\\': out += '\\'; out += c; break;
      default:
        if (static_cast<unsigned char>(c) <= 0x1F) {
          std::ostringstream hex;
          hex << "\\x" << std::hex << unsigned(static_cast<unsigned char>(c));
          out += hex.str();
          escapeNextIfDigit = true;
        } else {
          out += c;
        }
    }
  }
  if (needsQuotes || (!out.empty() && (out.front() == ' ' || out.back() == ' '))) out = '"' + out + '"';
  return out;
}

std::vector<std::string> Lines(const std::filesystem::path& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// "[General]" gives General; none for a line that is no section's header.
std::optional<std::string_view> SectionOf(std::string_view line) {
  line = Trimmed(line);
  if (line.size() < 2 || line.front() != '[' || line.back() != ']') return std::nullopt;
  return line.substr(1, line.size() - 2);
}

bool IsKeyLine(std::string_view line, std::string_view key) {
  const auto eq = line.find('=');
  return eq != std::string_view::npos && Trimmed(line.substr(0, eq)) == key;
}

// `lines` written beside `path` and renamed over it, so that a start that
// reads it meanwhile, or a crash halfway, never finds half a file.
void WriteLines(const std::filesystem::path& path, const std::vector<std::string>& lines) {
  std::error_code ec;
  std::filesystem::create_directories(path.parent_path(), ec);
  std::filesystem::path temporary = path;
  temporary += ".new-" + std::to_string(::getpid());
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    for (const std::string& line : lines) out << line << '\n';
    if (!out.flush()) {
      std::filesystem::remove(temporary, ec);
      return;
    }
  }
  std::filesystem::rename(temporary, path, ec);
  if (ec) std::filesystem::remove(temporary, ec);
}

// One key of the [General] section of an INI file as QSettings writes it,
// read and written without it: its quoting and escapes, the other keys and
// sections left as they were.
class TIniEntry {
public:
  TIniEntry(std::filesystem::path path, std::string_view key) : FPath(std::move(path)), FKey(key) {}

  // The value as it stands in the file, escapes and all; none without the key.
  std::optional<std::string> Raw() const {
    // Keys before any section's header are General's too.
    std::string_view section = kSection;
    std::optional<std::string> value;
    for (const std::string& line : Lines(FPath)) {
      if (const auto name = SectionOf(line))
        section = *name == kSection ? kSection : std::string_view{};
      else if (section == kSection && IsKeyLine(line, FKey))
        value = line.substr(line.find('=') + 1);
    }
    return value;
  }

  void Write(const std::string& escaped) const;

private:
  std::filesystem::path FPath;
  std::string_view FKey;
};

void TIniEntry::Write(const std::string& escaped) const {
  if (FPath.empty()) return;
  std::vector<std::string> lines = Lines(FPath);
  const std::string entry = std::string(FKey) + "=" + escaped;
  std::optional<std::size_t> general;  // where General's keys end
  bool done = false;
  bool inGeneral = false;
  for (std::size_t i = 0; i < lines.size() && !done; ++i) {
    if (const auto name = SectionOf(lines[i])) {
      inGeneral = *name == kSection;
      if (inGeneral) general = i + 1;
    } else if (inGeneral && IsKeyLine(lines[i], FKey)) {
      lines[i] = entry;
      done = true;
    } else if (inGeneral && !Trimmed(lines[i]).empty()) {
      general = i + 1;
    }
  }
  if (!done && general) {
    lines.insert(lines.begin() + std::ptrdiff_t(*general), entry);
  } else if (!done) {
    lines.insert(lines.begin(), {"[" + std::string(kSection) + "]", entry});
    if (lines.size() > 2) lines.insert(lines.begin() + 2, "");
  }
  WriteLines(FPath, lines);
}

// The downloader's port: one string.
class TPortMemoryFile : public TPortMemory {
public:
  explicit TPortMemoryFile(std::filesystem::path path) : FEntry(std::move(path), "port") {}
  std::optional<std::string> Remembered() const override {
    const auto raw = FEntry.Raw();
    return raw ? Unescaped(*raw) : std::nullopt;
  }
  void Remember(const std::string& port) override { FEntry.Write(Escaped(port)); }

private:
  TIniEntry FEntry;
};

// The bench's ports: a list of strings.
class TPortListFile : public TPortListMemory {
public:
  explicit TPortListFile(std::filesystem::path path) : FEntry(std::move(path), "ports") {}
  std::vector<std::string> Remembered() const override {
    const auto raw = FEntry.Raw();
    auto ports = raw ? UnescapedList(*raw) : std::nullopt;
    return ports ? *ports : std::vector<std::string>{};
  }
  void Remember(const std::vector<std::string>& ports) override {
    std::string value;
    for (const std::string& port : ports) value += (value.empty() ? "" : ", ") + Escaped(port);
    FEntry.Write(ports.empty() ? std::string("@Invalid()") : value);
  }

private:
  TIniEntry FEntry;
};

// This user's configuration folder, empty when there is none.
std::filesystem::path ConfigFolder() {
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && std::filesystem::path(xdg).is_absolute())
    return std::filesystem::path(xdg) / "stb-downloader";
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::filesystem::path(home) / ".config" / "stb-downloader";
  return {};
}

}  // namespace

std::unique_ptr<TPortMemory> UserPortMemory() {
  const std::filesystem::path folder = ConfigFolder();
  return std::make_unique<TPortMemoryFile>(folder.empty() ? folder : folder / "stb-downloader.ini");
}

std::unique_ptr<TPortListMemory> UserBenchPortMemory() {
  const std::filesystem::path folder = ConfigFolder();
  return std::make_unique<TPortListFile>(folder.empty() ? folder : folder / "stb-bench.ini");
}

TPortSystem ThisPortSystem() { return TPortSystem::Posix; }
