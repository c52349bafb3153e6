// The holders of a device as fuser finds them: every process's open
// descriptors under /proc compared by device number; and UUCP lock files,
// written and removed as minicom and picocom do.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "PortHolders.h"

namespace fs = std::filesystem;

namespace {

constexpr unsigned kPtySlaveMajor = 136;
constexpr unsigned kPtmxMajor = 5;
constexpr unsigned kPtmxMinor = 2;

std::string ReadLine(const std::string& path) {
  std::ifstream in(path);
  std::string line;
  std::getline(in, line);
  return line;
}

std::string ProgramOf(pid_t pid) { return ReadLine("/proc/" + std::to_string(pid) + "/comm"); }

// The pseudo-terminal number a /dev/ptmx descriptor serves, or -1.
long PtyIndexOf(const std::string& fdinfo) {
  std::ifstream in(fdinfo);
  std::string line;
  while (std::getline(in, line))
    if (line.rfind("tty-index:", 0) == 0) return std::strtol(line.c_str() + 10, nullptr, 10);
  return -1;
}

bool Alive(pid_t pid) { return pid > 0 && (::kill(pid, 0) == 0 || errno == EPERM); }

// The process id a lock file holds: ten characters of text, or (from old
// programs) the binary number; 0 when it holds neither.
pid_t PidIn(const fs::path& file) {
  std::ifstream in(file, std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  // The text form is the number in blanks and a line end; four bytes of
  // anything else are an int, whose bytes may well begin with a digit.
  const bool written = !text.empty() && text.find_first_not_of(" 0123456789\n") == std::string::npos;
  char* end = nullptr;
  const long pid = std::strtol(text.c_str(), &end, 10);
  if (written && end != text.c_str() && pid > 0) return pid_t(pid);
  if (!written && text.size() == sizeof(int)) {
    int binary = 0;
    std::memcpy(&binary, text.data(), sizeof binary);
    return binary > 0 ? pid_t(binary) : 0;
  }
  return 0;
}

std::string BelowDev(const std::string& device) {
  std::error_code ec;
  std::string path = fs::weakly_canonical(device, ec).string();
  if (ec) path = device;
  return path.rfind("/dev/", 0) == 0 ? path.substr(5) : fs::path(path).filename().string();
}

// picocom names the lock after the device's last part alone.
fs::path ShortLockFileOf(const std::string& device, const fs::path& folder) {
  return folder / ("LCK.." + fs::path(BelowDev(device)).filename().string());
}

TPortHolder LiveHolderOf(const fs::path& file) {
  const pid_t pid = PidIn(file);
  if (pid == ::getpid() || !Alive(pid)) return {};
  return {TPortHolder::TKind::LockFile, std::uint32_t(pid), ProgramOf(pid)};
}

}  // namespace

TPortHolder OpenElsewhere(const std::string& device) {
  struct stat dev {};
  if (::stat(device.c_str(), &dev) != 0 || !S_ISCHR(dev.st_mode)) return {};
  const long ptyIndex = major(dev.st_rdev) == kPtySlaveMajor ? long(minor(dev.st_rdev)) : -1;
  const dev_t ptmx = makedev(kPtmxMajor, kPtmxMinor);
  const pid_t self = ::getpid();
  DIR* proc = ::opendir("/proc");
  if (proc == nullptr) return {};
  TPortHolder found;
  while (const dirent* entry = ::readdir(proc)) {
    char* end = nullptr;
    const long pid = std::strtol(entry->d_name, &end, 10);
    if (*end != '\0' || pid <= 0 || pid == self) continue;
    const std::string fdDir = "/proc/" + std::string(entry->d_name) + "/fd";
    // Another user's process cannot be looked into: the system keeps it from us.
    DIR* fds = ::opendir(fdDir.c_str());
    if (fds == nullptr) continue;
    bool holds = false, farEnd = false;
    while (const dirent* fd = ::readdir(fds)) {
      if (fd->d_name[0] == '.') continue;
      struct stat st {};
      if (::stat((fdDir + "/" + fd->d_name).c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
      if (st.st_rdev == dev.st_rdev) holds = true;
      else if (ptyIndex >= 0 && st.st_rdev == ptmx &&
               PtyIndexOf("/proc/" + std::string(entry->d_name) + "/fdinfo/" + fd->d_name) == ptyIndex)
        farEnd = true;
    }
    ::closedir(fds);
    if (holds && !farEnd) {
      found = {TPortHolder::TKind::Open, std::uint32_t(pid), ProgramOf(pid_t(pid))};
      break;
    }
  }
  ::closedir(proc);
  return found;
}

fs::path LockFolder() {
  if (const char* dir = std::getenv("STB_LOCK_DIR"); dir != nullptr && *dir != '\0') return dir;
  std::error_code ec;
  if (fs::is_directory("/run/lock", ec)) return "/run/lock";
  return "/var/lock";
}

fs::path LockFileOf(const std::string& device, const fs::path& folder) {
  std::string name = BelowDev(device);
  for (char& c : name)
    if (c == '/') c = '_';
  return folder / ("LCK.." + name);
}

TPortHolder LockHolder(const std::string& device) {
  const fs::path folder = LockFolder();
  if (TPortHolder h = LiveHolderOf(LockFileOf(device, folder))) return h;
  return LiveHolderOf(ShortLockFileOf(device, folder));
}

TPortHolder TPortLock::Take(const std::string& device) {
  Release();
  // A device that is not there (an adapter still out) cannot be opened: no lock to take.
  std::error_code missing;
  if (!fs::exists(device, missing)) return {};
  const fs::path folder = LockFolder();
  const fs::path file = LockFileOf(device, folder);
  const fs::path shortFile = ShortLockFileOf(device, folder);
  if (TPortHolder h = LockHolder(device)) return h;
  // What is left is stale, its process gone; one of ours stays, so that the
  // port open under it keeps its lock when a second open here fails.
  for (const fs::path& stale : {file, shortFile}) {
    std::error_code ec;
    if (const pid_t pid = PidIn(stale); pid != 0 && pid != ::getpid()) fs::remove(stale, ec);
  }
  const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    // Another program took it in between: it holds the port now.
    if (errno == EEXIST) {
      if (TPortHolder h = LiveHolderOf(file)) return h;
    }
    return {};
  }
  char text[16];
  const int n = std::snprintf(text, sizeof text, "%10ld\n", long(::getpid()));
  const bool written = ::write(fd, text, std::size_t(n)) == n;
  ::close(fd);
  if (written) FFile = file;
  else ::unlink(file.c_str());
  return {};
}

void TPortLock::Release() {
  if (FFile.empty()) return;
  if (PidIn(FFile) == ::getpid()) ::unlink(FFile.c_str());
  FFile.clear();
}
