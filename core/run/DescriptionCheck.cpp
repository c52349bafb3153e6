#include "DescriptionCheck.h"

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "DescriptionFile.h"
#include "DeviceCheck.h"
#include "DownloadRecord.h"
#include "FileAccess.h"
#include "FileHandle.h"
#include "ModeSelect.h"

namespace {

constexpr std::size_t kMaxReadBytes = 1 << 20;

bool IsHex(char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }

bool AllHex(const std::string& text, std::size_t first, std::size_t count) {
  if (text.size() < first + count) return false;
  for (std::size_t i = first; i < first + count; ++i)
    if (!IsHex(text[i])) return false;
  return true;
}

std::string Hex2(std::uint8_t v) {
  char out[3];
  std::snprintf(out, sizeof out, "%02X", v);
  return out;
}

std::string PairText(TBytePair p) { return Hex2(p.First) + "." + Hex2(p.Second); }

std::string AddressText(std::uint32_t address) {
  char out[11];
  std::snprintf(out, sizeof out, "0x%08X", unsigned(address));
  return out;
}

std::string Quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x20 || u >= 0x7F) {
      char esc[5];
      std::snprintf(esc, sizeof esc, "\\x%02X", unsigned(u));
      out += esc;
    } else {
      if (c == '"' || c == '\\') out += '\\';
      out += c;
    }
  }
  return out + "\"";
}

std::string Trimmed(const std::string& detail) { return detail.substr(std::min(detail.find_first_not_of(' '), detail.size())); }

// What the reader takes without a word but the writer surely did not mean:
// the form each line is written in, beyond what the conversion refuses.
void CheckLineForms(const TDescriptionCheck& check, const std::array<std::string, 12>& lines, int failedLine,
                    const std::optional<TDownloadJob>& job, std::vector<std::string>& problems) {
  const std::string& path = check.Path;
  const std::string& oui = lines[0];
  if (failedLine != 1 && (oui.size() != 6 || !AllHex(oui, 0, 6)))
    problems.push_back(path + " line 1 (OUI): " + Quoted(oui) +
                       " is not six hexadecimal digits; a pair that is not two hexadecimal digits reads as 00. "
                       "Write six hexadecimal digits with nothing between them, e.g. 001234.");
  for (int n = 2; n <= 7; ++n) {
    const std::string& line = lines[std::size_t(n - 1)];
    if (n == failedLine || (line.size() == 5 && AllHex(line, 0, 2) && AllHex(line, 3, 2))) continue;
    problems.push_back(path + " line " + std::to_string(n) + " (" + DescriptionFieldName(n) + "): " + Quoted(line) +
                       " is not two hexadecimal digits, one separator and two more; write e.g. 0A.01.");
  }
  if (lines[7].size() > 5)
    problems.push_back(path + " line 8 (date code): " + Quoted(lines[7]) + " holds " + std::to_string(lines[7].size()) +
                       " characters; only the first five are sent, " + Quoted(lines[7].substr(0, 5)) + ".");
  if (failedLine != 11 && lines[10].size() != 1)
    problems.push_back(path + " line 11 (version selector): " + Quoted(lines[10]) +
                       " is not one digit; only its first character is read. Write one digit: 1 bootloader, "
                       "2 native, 3 application 1, 4 application 2 version, 0 none.");
  const std::string& address = lines[11];
  const bool written = address.size() == 10 && address[0] == '0' && (address[1] == 'x' || address[1] == 'X') &&
                       AllHex(address, 2, 8);
  if (failedLine != 12 && !written)
    problems.push_back(path + " line 12 (download address): " + Quoted(address) +
                       " is not 0x and eight hexadecimal digits" +
                       (job ? "; it reads as " + AddressText(job->Address()) : std::string()) +
                       ". Write the address as 0x and eight hexadecimal digits, e.g. 0x80010000.");
}

// The image when the reader stopped before it: at least whether it opens.
void CheckImageAlone(TDescriptionCheck& check, const std::string& name) {
  const TFileHandle file = TFileHandle::OpenForReading(name);
  file_access::Facts facts;
  if (!file.IsOpen() || !file_access::FactsOf(file.Fd(), facts) || facts.folder) {
    const int err = file.IsOpen() && facts.folder ? EISDIR : errno;
    check.Problems.push_back(Trimmed(ImageOpenDetail(check.Path, name, err)));
    return;
  }
  check.ImageBytes = facts.size;
}

// What the box itself would refuse from the job alone, whatever it answers.
void CheckAgainstTheBoxRules(TDescriptionCheck& check) {
  const TDownloadJob& job = *check.Job;
  std::vector<TCheckResult> results;
  if (check.Mode == 1) {
    results.push_back(CheckBootloaderAddress(job));
    if (check.ImageRead) results.push_back(CheckBootloaderSize(job));
  } else {
    results.push_back(CheckBootloaderArea(job));
  }
  for (const TCheckResult& r : results)
    if (!r.Passed)
      check.Problems.push_back("the download would stop at the box's check: \"" + r.Message + "\" (address " +
                               AddressText(job.Address()) + ", " + std::to_string(job.BlockCount()) + " blocks).");
}

const char* SelectorText(std::uint8_t selector) {
  switch (selector) {
    case 1: return "the bootloader version";
    case 2: return "the native software version";
    case 3: return "the application software 1 version";
    case 4: return "the application software 2 version";
    default: return "no version";
  }
}

}  // namespace

std::optional<std::uint8_t> ModeNamed(const std::string& name) {
  for (std::uint8_t mode = 1; mode <= 8; ++mode) {
    if (name == std::to_string(mode)) return mode;
    if (name == std::filesystem::path(ModeInfo(mode).DescriptionFile).stem().string()) return mode;
  }
  return std::nullopt;
}

TDescriptionCheck CheckDescription(std::uint8_t mode) {
  TDescriptionCheck check;
  check.Mode = mode;
  check.Path = ModeInfo(mode).DescriptionFile;

  TDownloadJob job;
  bool read = false;
  try {
    ReadDescriptionFile(check.Path, job, [](const std::string&) {});
    read = true;
  } catch (const DescriptionFileError& e) {
    check.Problems.push_back(e.what() + std::string(e.Detail().empty() ? "." : ": " + Trimmed(e.Detail())));
  }
  if (read) {
    check.Job = job;
    check.ImageRead = true;
    check.ImageBytes = job.ImageFileBytes;
  }

  std::ifstream in(check.Path, std::ios::binary);
  if (!in) return check;
  std::string bytes;
  bytes.resize(kMaxReadBytes);
  in.read(bytes.data(), std::streamsize(bytes.size()));
  bytes.resize(std::size_t(in.gcount()));
  const auto lines = SplitDescriptionLines(bytes);
  check.AddressAsWritten = lines[11].substr(0, 10);

  // The field the reader stopped at is said once, in its words.
  int failedLine = 0;
  TDownloadJob fields;
  try {
    ParseDescriptionLines(lines, fields);
    if (!check.Job) check.Job = fields;
  } catch (const DescriptionFileError& e) {
    failedLine = e.Line;
  }
  std::vector<std::string> formProblems;
  CheckLineForms(check, lines, failedLine, check.Job, formProblems);
  check.Problems.insert(check.Problems.end(), formProblems.begin(), formProblems.end());
  if (failedLine != 0) CheckImageAlone(check, lines[9]);
  if (check.Job) CheckAgainstTheBoxRules(check);
  return check;
}

std::string DescriptionCheckText(const TDescriptionCheck& check) {
  const TModeInfo& info = ModeInfo(check.Mode);
  std::string text = check.Path + ": mode " + std::to_string(check.Mode) + ", " + info.Name + "\n";
  if (const auto& job = check.Job) {
    text += "  identity   OUI " + Hex2(job->Oui[0]) + Hex2(job->Oui[1]) + Hex2(job->Oui[2]) + " (the box's must be " +
            Hex2(job->Oui[1]) + Hex2(job->Oui[2]) + "), model code " + PairText(job->ModelCode) + "\n";
    text += "  versions   hardware " + PairText(job->HardwareVersion) + ", bootloader " +
            PairText(job->BootloaderVersion) + ", native " + PairText(job->NativeVersion) + ", application 1 " +
            PairText(job->Application1Version) + ", application 2 " + PairText(job->Application2Version) + "\n";
    text += "  date code  " + Quoted(job->DateCode) + "; version selector " + std::to_string(job->VersionSelector) +
            ": " + SelectorText(job->VersionSelector);
    if (const TBytePair* v = job->SelectedVersion()) text += ", " + PairText(*v) + ",";
    text += " goes into the version table\n";
    text += "  address    " + AddressText(job->Address()) + ", line 12 as written " + Quoted(check.AddressAsWritten) +
            "\n";
    if (check.ImageRead)
      text += "  image      " + job->ImageFileName + ": " + std::to_string(job->ImageFileBytes) + " bytes, " +
              std::to_string(job->BlockCount()) + " blocks of 1024, SHA-256 " + job->ImageSha256 + "\n";
  }
  if (!check.ImageRead && check.ImageBytes) {
    text += "  image      " + std::to_string(*check.ImageBytes) + " bytes (not read further: the file has a problem before it)\n";
  }
  for (const std::string& p : check.Problems) text += "  problem: " + p + "\n";
  text += check.Good() ? "  good: the download would use the above\n"
                       : "  " + std::to_string(check.Problems.size()) +
                             (check.Problems.size() == 1 ? " problem\n" : " problems\n");
  return text;
}

int RunDescriptionChecks(std::optional<std::uint8_t> mode, std::string& text) {
  std::vector<std::uint8_t> modes;
  if (mode) {
    modes.push_back(*mode);
  } else {
    for (std::uint8_t m = 1; m <= 8; ++m) {
      std::error_code ec;
      if (std::filesystem::exists(ModeInfo(m).DescriptionFile, ec)) modes.push_back(m);
    }
  }
  if (modes.empty()) {
    std::error_code ec;
    text += "No description file in ./inc (working folder " + std::filesystem::current_path(ec).string() +
            "): start the tool in the folder that holds inc/.\n";
    return kExitNoDownload;
  }
  int bad = 0;
  for (std::uint8_t m : modes) {
    const TDescriptionCheck check = CheckDescription(m);
    text += DescriptionCheckText(check);
    bad += check.Good() ? 0 : 1;
  }
  if (modes.size() > 1)
    text += bad == 0 ? "All " + std::to_string(modes.size()) + " description files are good.\n"
                     : std::to_string(bad) + " of " + std::to_string(modes.size()) +
                           " description files have problems.\n";
  return bad == 0 ? kExitSuccess : kExitNoDownload;
}
