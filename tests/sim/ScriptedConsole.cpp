#include "ScriptedConsole.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <random>
#include <stdexcept>

ScriptedConsole::ScriptedConsole(const std::string& path) {
  FFd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (FFd < 0) throw std::runtime_error("cannot open " + path);
}

ScriptedConsole::~ScriptedConsole() {
  if (FFd >= 0) close(FFd);
}

void ScriptedConsole::Send(const Bytes& bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = write(FFd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += std::size_t(n);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      throw std::runtime_error("console write failed");
    } else {
      pollfd p{FFd, POLLOUT, 0};
      poll(&p, 1, 10);
    }
  }
}

Bytes ScriptedConsole::Read(std::size_t want, int timeoutMs) {
  Bytes out;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (out.size() < want) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd p{FFd, POLLIN, 0};
    if (poll(&p, 1, int(left.count())) <= 0) continue;
    std::uint8_t buf[2048];
    ssize_t n = read(FFd, buf, std::min(sizeof buf, want - out.size()));
    if (n > 0) out.insert(out.end(), buf, buf + n);
    else if (n == 0 || (errno != EAGAIN && errno != EINTR)) break;
  }
  return out;
}

Bytes ScriptedConsole::ReadQuiet(int quietMs) {
  Bytes out;
  for (;;) {
    Bytes more = Read(4096, quietMs);
    if (more.empty()) return out;
    out.insert(out.end(), more.begin(), more.end());
  }
}

void ScriptedConsole::Flush() { tcflush(FFd, TCIFLUSH); }

Bytes ScriptedConsole::Probe(const std::string& modeWord, int timeoutMs) {
  Send(Bytes{0x1F});
  Flush();
  Send(modeWord);
  return Read(54, timeoutMs);
}

Bytes ScriptedConsole::Size(std::uint32_t address, std::uint16_t blocks) {
  Send(Bytes{'o', 'k', std::uint8_t(address), std::uint8_t(address >> 8), std::uint8_t(address >> 16),
             std::uint8_t(address >> 24), std::uint8_t(blocks), std::uint8_t(blocks >> 8)});
  return Read(8);
}

Bytes ScriptedConsole::Block(const Bytes& data, std::uint8_t checksum, std::size_t replyBytes) {
  Bytes out(data);
  out.push_back(checksum);
  Send(out);
  return Read(replyBytes, 1000);
}

bool ScriptedConsole::Stages(std::uint8_t total, std::uint16_t blocks, const Bytes& versionWrite, std::string* why) {
  auto expect = [&](const Bytes& got, const std::string& text) {
    if (AsText(got) == text) return true;
    *why = "expected \"" + text + "\", got \"" + AsText(got) + "\"";
    return false;
  };
  Flush();
  Send(Bytes{total});
  Read(2);
  if (!expect(Read(18), "CRC OK. : DownLoad")) return false;
  Read(3);
  for (Bytes b = Read(1); !b.empty() && b[0] != 0x1F; b = Read(1)) {
  }
  Read(2);
  if (!expect(Read(19), "CRC OK. : Ram Image")) return false;
  Flush();
  Send(Bytes{0x1F});
  Bytes at = Read((blocks + 3u) / 4u);
  if (!expect(at, std::string(at.size(), '@')) || at.size() != (blocks + 3u) / 4u) return false;
  Read(2);
  if (!expect(Read(24), "CRC OK. : Flash image !!")) return false;
  Flush();
  Send(Bytes{0x1F});
  Read(2);
  if (!expect(Read(26), "Update software version!!!")) return false;
  Send(Bytes{0x1F});
  for (Bytes b = Read(1); !b.empty() && b[0] != 0x1E; b = Read(1)) {
  }
  Send(Bytes(versionWrite.begin(), versionWrite.begin() + std::min<std::ptrdiff_t>(2, std::ptrdiff_t(versionWrite.size()))));
  Flush();
  if (versionWrite.size() > 2) Send(Bytes(versionWrite.begin() + 2, versionWrite.end()));
  if (!expect(Read(1), "W")) return false;
  Read(2);
  if (!expect(Read(26), "CRC OK. : Version Table !!")) return false;
  Send(Bytes{0x1F});
  return true;
}

std::uint8_t Sum(const Bytes& bytes) {
  unsigned s = 0;
  for (std::uint8_t b : bytes) s += b;
  return std::uint8_t(s);
}

Bytes TestImage(std::size_t blocks, unsigned seed) {
  std::mt19937 rng(seed);
  Bytes image(blocks * 1024);
  for (auto& b : image) b = std::uint8_t(rng());
  return image;
}

Bytes BlockOf(const Bytes& image, std::size_t k) {
  return Bytes(image.begin() + std::ptrdiff_t(k * 1024), image.begin() + std::ptrdiff_t((k + 1) * 1024));
}

std::string AsText(const Bytes& bytes) { return std::string(bytes.begin(), bytes.end()); }
