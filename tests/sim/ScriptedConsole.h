// The console's end of the line, scripted with plain reads and writes, so a
// test can break the protocol on purpose and see what the receiver makes of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

class ScriptedConsole {
public:
  explicit ScriptedConsole(const std::string& path);
  ~ScriptedConsole();
  ScriptedConsole(const ScriptedConsole&) = delete;
  ScriptedConsole& operator=(const ScriptedConsole&) = delete;

  int Fd() const { return FFd; }
  void Send(const Bytes& bytes);
  void Send(const std::string& text) { Send(Bytes(text.begin(), text.end())); }
  // Up to `want` bytes, waiting at most timeoutMs for all of them.
  Bytes Read(std::size_t want, int timeoutMs = 2000);
  // Whatever arrives until the line has been quiet for quietMs.
  Bytes ReadQuiet(int quietMs);
  void Flush();

  // The steps of a download, as the console takes them.
  Bytes Probe(const std::string& modeWord, int timeoutMs = 2000);  // the 54 bytes of the reply
  Bytes Size(std::uint32_t address, std::uint16_t blocks);
  Bytes Block(const Bytes& data, std::uint8_t checksum, std::size_t replyBytes = 3);
  // Total checksum to the final 0x1F; false at the first text that differs.
  bool Stages(std::uint8_t total, std::uint16_t blocks, const Bytes& versionWrite, std::string* why);

private:
  int FFd = -1;
};

std::uint8_t Sum(const Bytes& bytes);
Bytes TestImage(std::size_t blocks, unsigned seed = 1);
Bytes BlockOf(const Bytes& image, std::size_t k);
std::string AsText(const Bytes& bytes);
