// File access on Windows, through the C runtime's descriptors where errno
// matters to the messages, and the Win32 calls where the record is written.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>
#include <share.h>
#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "FileAccess.h"

namespace file_access {

namespace {

// The C runtime counts a read in unsigned int.
unsigned ReadCount(std::size_t count) { return count > INT_MAX ? unsigned(INT_MAX) : unsigned(count); }

}  // namespace

// Binary, or the runtime folds CR LF; shared for reading only, so that the
// image cannot be rewritten under the transfer.
int OpenForReading(const std::string& path) {
  int fd = -1;
  if (::_sopen_s(&fd, path.c_str(), _O_RDONLY | _O_BINARY, _SH_DENYWR, 0) != 0) return -1;
  return fd;
}

void Close(int fd) {
  if (fd >= 0) ::_close(fd);
}

// The plain stat record's size is 32 bits here: a 4 GiB image would read as empty.
bool FactsOf(int fd, Facts& facts) {
  struct _stat64 st {};
  if (::_fstat64(fd, &st) != 0) return false;
  facts.size = std::int64_t(st.st_size);
  facts.folder = (st.st_mode & _S_IFMT) == _S_IFDIR;
  return true;
}

bool IsFolder(const std::filesystem::path& path) {
  struct _stat64 st {};
  return ::_wstat64(path.c_str(), &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
}

long long Read(int fd, void* buffer, std::size_t count) { return ::_read(fd, buffer, ReadCount(count)); }

long long ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t count) {
  if (::_lseeki64(fd, offset, SEEK_SET) < 0) return -1;
  return ::_read(fd, buffer, ReadCount(count));
}

bool AppendWhole(const std::filesystem::path& path, const std::string& text, std::string& error) {
  HANDLE h = CreateFileW(path.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    error = path.string() + ": cannot open (error " + std::to_string(GetLastError()) + ")";
    return false;
  }
  DWORD written = 0;
  const bool ok = WriteFile(h, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
  if (!ok) error = path.string() + ": cannot write (error " + std::to_string(GetLastError()) + ")";
  FlushFileBuffers(h);
  CloseHandle(h);
  return ok;
}

NewFile WriteNew(const std::filesystem::path& path, const std::string& text, std::string& error) {
  HANDLE h = CreateFileW(path.wstring().c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_EXISTS) return NewFile::Exists;
    error = path.string() + ": cannot create (error " + std::to_string(GetLastError()) + ")";
    return NewFile::Failed;
  }
  DWORD done = 0;
  const bool ok = WriteFile(h, text.data(), DWORD(text.size()), &done, nullptr) && done == text.size();
  CloseHandle(h);
  if (!ok) error = path.string() + ": cannot write";
  return ok ? NewFile::Written : NewFile::Failed;
}

// Binary, so that the lines end as written.
int CreateForWriting(const std::filesystem::path& path, std::string& error) {
  int fd = -1;
  if (::_wsopen_s(&fd, path.wstring().c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _SH_DENYWR,
                  _S_IREAD | _S_IWRITE) != 0) {
    error = path.string() + ": cannot create (" + std::strerror(errno) + ")";
    return -1;
  }
  return fd;
}

bool WriteAll(int fd, const std::string& text, const std::filesystem::path& path, std::string& error) {
  std::size_t done = 0;
  while (done < text.size()) {
    const int k = ::_write(fd, text.data() + done, ReadCount(text.size() - done));
    if (k <= 0) {
      error = path.string() + ": cannot write (" + std::strerror(errno) + ")";
      return false;
    }
    done += std::size_t(k);
  }
  return true;
}

std::filesystem::path UserStateFolder() {
  if (const char* local = std::getenv("LOCALAPPDATA"); local != nullptr && *local != '\0')
    return std::filesystem::path(local);
  return {};
}

long ThisProcessId() { return long(::GetCurrentProcessId()); }

bool ProcessRunning(long pid) {
  if (pid <= 0) return false;
  HANDLE h = ::OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, DWORD(pid));
  if (h == nullptr) return ::GetLastError() == ERROR_ACCESS_DENIED;
  DWORD code = 0;
  const bool running = ::GetExitCodeProcess(h, &code) && code == STILL_ACTIVE;
  ::CloseHandle(h);
  return running;
}

}  // namespace file_access
