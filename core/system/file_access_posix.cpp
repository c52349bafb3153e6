// File access on Linux and other POSIX systems.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "FileAccess.h"

namespace file_access {

namespace {

std::string SystemReason(int error) { return std::strerror(error); }

}  // namespace

// POSIX has no mandatory locks: the file is opened plainly.
int OpenForReading(const std::string& path) { return ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK); }

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

bool FactsOf(int fd, Facts& facts) {
  struct stat st {};
  if (::fstat(fd, &st) != 0) return false;
  facts.size = std::int64_t(st.st_size);
  facts.folder = S_ISDIR(st.st_mode);
  return true;
}

bool IsFolder(const std::filesystem::path& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

long long Read(int fd, void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::read(fd, buffer, count);
    if (n >= 0 || errno != EINTR) return n;
  }
}

long long ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t count) {
  for (;;) {
    const ssize_t n = ::pread(fd, buffer, count, off_t(offset));
    if (n >= 0 || errno != EINTR) return n;
  }
}

bool AppendWhole(const std::filesystem::path& path, const std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) {
    error = path.string() + ": " + SystemReason(errno);
    return false;
  }
  ssize_t n = 0;
  do {
    n = ::write(fd, text.data(), text.size());
  } while (n < 0 && errno == EINTR);
  bool ok = n == ssize_t(text.size());
  if (!ok) error = path.string() + ": " + (n < 0 ? SystemReason(errno) : std::string("short write"));
  // The record is the proof of a flashed box: on the disk before we say so.
  if (ok && ::fdatasync(fd) != 0) {
    error = path.string() + ": " + SystemReason(errno);
    ok = false;
  }
  ::close(fd);
  return ok;
}

NewFile WriteNew(const std::filesystem::path& path, const std::string& text, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) {
    if (errno == EEXIST) return NewFile::Exists;
    error = path.string() + ": " + SystemReason(errno);
    return NewFile::Failed;
  }
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t k = ::write(fd, text.data() + done, text.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) break;
    done += std::size_t(k);
  }
  const bool ok = done == text.size();
  if (!ok) error = path.string() + ": " + SystemReason(errno);
  ::close(fd);
  return ok ? NewFile::Written : NewFile::Failed;
}

int CreateForWriting(const std::filesystem::path& path, std::string& error) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) error = path.string() + ": " + SystemReason(errno);
  return fd;
}

bool WriteAll(int fd, const std::string& text, const std::filesystem::path& path, std::string& error) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t k = ::write(fd, text.data() + done, text.size() - done);
    if (k < 0 && errno == EINTR) continue;
    if (k <= 0) {
      error = path.string() + ": " + (k < 0 ? SystemReason(errno) : std::string("nothing written"));
      return false;
    }
    done += std::size_t(k);
  }
  return true;
}

std::filesystem::path UserStateFolder() {
  if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
    return std::filesystem::path(home) / ".local" / "state";
  return {};
}

long ThisProcessId() { return long(::getpid()); }

// A process of another user is there all the same: kill says EPERM.
bool ProcessRunning(long pid) { return pid > 0 && (::kill(pid_t(pid), 0) == 0 || errno == EPERM); }

}  // namespace file_access
