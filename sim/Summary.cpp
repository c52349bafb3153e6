#include "Summary.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace stbsim {

namespace {

constexpr const char* kStageNames[] = {
    "Off", "Probed", "Identified", "SizeReceived", "Transferring", "DownloadCrc", "RamImage",
    "FlashWrite", "FlashImage", "VersionUpdate", "VersionTable", "Done", "Failed", "HungUp"};

std::string Hex(std::uint32_t v, int width) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%0*X", width, v);
  return buf;
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
  std::string out;
  for (std::uint8_t b : bytes) {
    char buf[4];
    std::snprintf(buf, sizeof buf, "%02X", b);
    if (!out.empty()) out += ' ';
    out += buf;
  }
  return out;
}

std::string JsonString(const std::string& s) {
  std::string out = "\"";
  for (unsigned char c : s) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += char(c);
    } else if (c < 0x20 || c >= 0x7F) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04X", c);
      out += buf;
    } else {
      out += char(c);
    }
  }
  return out + '"';
}

}  // namespace

const char* StageName(Stage s) { return kStageNames[static_cast<int>(s)]; }

bool StageFromName(const std::string& name, Stage& out) {
  for (int i = 0; i <= static_cast<int>(Stage::HungUp); ++i) {
    std::string candidate = kStageNames[i];
    if (candidate.size() != name.size()) continue;
    bool same = true;
    for (std::size_t j = 0; j < name.size() && same; ++j)
      same = std::tolower(static_cast<unsigned char>(name[j])) == std::tolower(static_cast<unsigned char>(candidate[j]));
    if (same) {
      out = static_cast<Stage>(i);
      return true;
    }
  }
  return false;
}

std::string Summary::ToText() const {
  std::ostringstream o;
  o << "reached:        " << StageName(Reached);
  if (Reached == Stage::Failed || Reached == Stage::HungUp) o << " (during " << StageName(FailedAt) << ")";
  o << "\nsuccess:        " << (Success ? "yes" : "no") << '\n';
  if (!Note.empty()) o << "note:           " << Note << '\n';
  o << "mode word:      " << ModeWord << " (" << Probes << " answered, " << ProbeNoise << " noise bytes)\n"
    << "address:        " << Hex(AddressReceived, 8) << '\n'
    << "block count:    " << BlockCountReceived << '\n'
    << "blocks:         " << BlocksAccepted << " accepted, " << BlocksRejected << " rejected, "
    << SequenceDigitsSent << " sequence digits\n"
    << "total checksum: received " << Hex(TotalChecksumReceived, 2) << ", computed " << Hex(TotalChecksumComputed, 2)
    << '\n'
    << "version write:  " << HexBytes(VersionWrite) << '\n'
    << "violations:     " << Violations.size() << '\n';
  for (const auto& v : Violations) o << "  - " << v << '\n';
  return o.str();
}

std::string Summary::ToJson() const {
  std::ostringstream o;
  o << "{\n  \"reached\": " << JsonString(StageName(Reached)) << ",\n  \"success\": " << (Success ? "true" : "false")
    << ",\n  \"failedAt\": " << JsonString(StageName(FailedAt)) << ",\n  \"note\": " << JsonString(Note)
    << ",\n  \"modeWord\": " << JsonString(ModeWord) << ",\n  \"probes\": " << Probes
    << ",\n  \"probeNoise\": " << ProbeNoise << ",\n  \"addressReceived\": " << AddressReceived
    << ",\n  \"blockCountReceived\": " << BlockCountReceived << ",\n  \"blocksAccepted\": " << BlocksAccepted
    << ",\n  \"blocksRejected\": " << BlocksRejected << ",\n  \"sequenceDigitsSent\": " << SequenceDigitsSent
    << ",\n  \"totalChecksumReceived\": " << int(TotalChecksumReceived)
    << ",\n  \"totalChecksumComputed\": " << int(TotalChecksumComputed) << ",\n  \"versionWrite\": [";
  for (std::size_t i = 0; i < VersionWrite.size(); ++i) o << (i ? ", " : "") << int(VersionWrite[i]);
  o << "],\n  \"violations\": [";
  for (std::size_t i = 0; i < Violations.size(); ++i) o << (i ? "," : "") << "\n    " << JsonString(Violations[i]);
  o << (Violations.empty() ? "]" : "\n  ]") << "\n}\n";
  return o.str();
}

}  // namespace stbsim
