// The core's way to the files it reads and writes: the description, the
// image, the record and the run's log. One source file per system, picked by
// CMake as the serial layer's are; nothing above this header knows which.
// Failures leave errno set (reads) or a readable reason (writes), so the
// messages built on them read the same on every system.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

namespace file_access {

// Opens an existing file for reading only: -1 when it cannot, errno telling
// why. Others may go on reading it, but where the system can refuse them
// (Windows) nobody may write to it while it is open; where it cannot, the
// block digests taken from the description catch a rewrite. Non-blocking
// where that exists, so that a FIFO named as a file cannot freeze the window
// in the open.
int OpenForReading(const std::string& path);
void Close(int fd);

struct Facts {
  std::int64_t size = 0;  // 64 bits on every system
  bool folder = false;
};
// False with errno when the file cannot be asked.
bool FactsOf(int fd, Facts& facts);
// Whether a folder is there under this name; false as well when it cannot
// be asked.
bool IsFolder(const std::filesystem::path& path);

// Up to `count` bytes from where the file stands (Read) or from `offset`
// (ReadAt, which leaves that place alone): the bytes read, 0 at the end, -1
// with errno. An interrupted call is made again.
long long Read(int fd, void* buffer, std::size_t count);
long long ReadAt(int fd, std::int64_t offset, void* buffer, std::size_t count);

// Appends the whole text in one write and has it on the disk before it
// returns, so that two programs appending at once, or a crash halfway, never
// leave half a line inside another. False with a reason naming the file.
bool AppendWhole(const std::filesystem::path& path, const std::string& text, std::string& error);

// Writes a file that must not be there yet.
enum class NewFile { Written, Exists, Failed };
NewFile WriteNew(const std::filesystem::path& path, const std::string& text, std::string& error);

// Creates a file for writing, or empties the one there: its descriptor, or
// -1 with a reason naming the file.
int CreateForWriting(const std::filesystem::path& path, std::string& error);
// Writes the whole text where the file stands. False with a reason naming
// the file (`path` is only for the reason).
bool WriteAll(int fd, const std::string& text, const std::filesystem::path& path, std::string& error);

// Where this system keeps a user's program state when XDG_STATE_HOME does
// not say: ~/.local/state, or %LOCALAPPDATA% on Windows; empty when the
// system names no such folder.
std::filesystem::path UserStateFolder();

// This program's process id, and whether a process with that id is running
// (a record left by one that is can still be finished by it).
long ThisProcessId();
bool ProcessRunning(long pid);

}  // namespace file_access
