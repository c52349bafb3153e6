// A station's process on Windows: stb-downloader-cli.exe started with
// anonymous pipes on its standard input, output and error, and no console
// window of its own. What it wrote is taken with PeekNamedPipe, then a read
// of no more than waits; it is stopped through its stop event as Ctrl+Break
// would, and ended with TerminateProcess only after the grace.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <memory>
#include <utility>

#include "StationProcess.h"
#include "StopEvent.h"

namespace {

// Enough for minutes of a station's events.
constexpr DWORD kPipeBytes = 1 << 16;

void CloseHandleOnce(HANDLE& h) {
  if (h != nullptr && h != INVALID_HANDLE_VALUE) ::CloseHandle(h);
  h = nullptr;
}

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int n = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
  std::wstring wide(std::size_t(n > 0 ? n : 0), L'\0');
  if (n > 0) ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), wide.data(), n);
  return wide;
}

std::string SystemReason(DWORD code) {
  char* text = nullptr;
  const DWORD n = ::FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                                       FORMAT_MESSAGE_IGNORE_INSERTS,
                                   nullptr, code, 0, reinterpret_cast<LPSTR>(&text), 0, nullptr);
  std::string reason = n > 0 && text != nullptr ? std::string(text, n) : "error " + std::to_string(code);
  if (text != nullptr) ::LocalFree(text);
  while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == '.'))
    reason.pop_back();
  return reason;
}

// What waits in the pipe, read without ever blocking; the pipe is closed once
// the station's end of it is gone and nothing is left.
void Drain(HANDLE& pipe, std::string& to) {
  while (pipe != nullptr) {
    DWORD waiting = 0;
    if (!::PeekNamedPipe(pipe, nullptr, 0, nullptr, &waiting, nullptr)) {
      CloseHandleOnce(pipe);
      return;
    }
    if (waiting == 0) return;
    const std::size_t had = to.size();
    to.resize(had + waiting);
    DWORD got = 0;
    if (!::ReadFile(pipe, to.data() + had, waiting, &got, nullptr)) got = 0;
    to.resize(had + got);
    if (got == 0) {
      CloseHandleOnce(pipe);
      return;
    }
  }
}

// The rules of CommandLineToArgvW and the C runtime: backslashes are
// literal unless they come before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
  if (!line.empty()) line += L' ';
  if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    line += arg;
    return;
  }
  line += L'"';
  std::size_t backslashes = 0;
  for (wchar_t c : arg) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    line.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, L'\\');
  line += L'"';
}

struct TAttributeList {
  explicit TAttributeList(std::vector<HANDLE>& inherited) {
    SIZE_T size = 0;
    ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    FBytes = std::make_unique<char[]>(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FBytes.get());
    if (!::InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    FList = list;
    if (!::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited.data(),
                                     inherited.size() * sizeof(HANDLE), nullptr, nullptr)) {
      ::DeleteProcThreadAttributeList(list);
      FList = nullptr;
    }
  }
  ~TAttributeList() {
    if (FList != nullptr) ::DeleteProcThreadAttributeList(FList);
  }
  TAttributeList(const TAttributeList&) = delete;
  TAttributeList& operator=(const TAttributeList&) = delete;

  std::unique_ptr<char[]> FBytes;
  LPPROC_THREAD_ATTRIBUTE_LIST FList = nullptr;
};

// The command line CreateProcess hands over, each argument quoted so that the
// C runtime's parser gives it back as it was (a path with spaces, a quote).
std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& args) {
  std::wstring line;
  AppendQuoted(line, Wide(program));
  for (const std::string& arg : args) AppendQuoted(line, Wide(arg));
  return line;
}

// A station's three pipes. Made uninheritable, then only the station's ends
// of them inheritable, and those named in its handle list: no station holds
// another row's pipe (or anything else of the bench's), so each sees its own
// end when its peer goes. Whatever is still held goes with it.
struct TStationPipes {
  HANDLE InRead = nullptr, InWrite = nullptr, OutRead = nullptr, OutWrite = nullptr, ErrRead = nullptr,
         ErrWrite = nullptr;

  TStationPipes() = default;
  ~TStationPipes() {
    for (HANDLE* h : {&InRead, &InWrite, &OutRead, &OutWrite, &ErrRead, &ErrWrite}) CloseHandleOnce(*h);
  }
  TStationPipes(const TStationPipes&) = delete;
  TStationPipes& operator=(const TStationPipes&) = delete;

  bool Make(std::string& error) {
    if (::CreatePipe(&InRead, &InWrite, nullptr, kPipeBytes) && ::CreatePipe(&OutRead, &OutWrite, nullptr, kPipeBytes) &&
        ::CreatePipe(&ErrRead, &ErrWrite, nullptr, kPipeBytes))
      return true;
    error = "CreatePipe: " + SystemReason(::GetLastError());
    return false;
  }
};

// The station's process, suspended until its stop event exists, so that a
// stop can never come before the station would see it. The station's ends
// of the pipes are closed here, started or not.
bool Launch(const std::string& program, const std::vector<std::string>& args, TStationPipes& pipes,
            PROCESS_INFORMATION& process, std::string& error) {
  std::vector<HANDLE> inherited{pipes.InRead, pipes.OutWrite, pipes.ErrWrite};
  for (HANDLE h : inherited) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  TAttributeList attributes(inherited);
  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = pipes.InRead;
  info.StartupInfo.hStdOutput = pipes.OutWrite;
  info.StartupInfo.hStdError = pipes.ErrWrite;
  info.lpAttributeList = attributes.FList;
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (attributes.FList != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  std::wstring line = CommandLineOf(program, args);
  const std::wstring path = Wide(program);
  const BOOL started = ::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                        &info.StartupInfo, &process);
  const DWORD startError = ::GetLastError();
  for (HANDLE* h : {&pipes.InRead, &pipes.OutWrite, &pipes.ErrWrite}) CloseHandleOnce(*h);
  if (!started) error = program + ": " + SystemReason(startError);
  return started != FALSE;
}

class TWin32StationProcess : public TStationProcess {
public:
  TWin32StationProcess() = default;
  ~TWin32StationProcess() override;
  TWin32StationProcess(const TWin32StationProcess&) = delete;
  TWin32StationProcess& operator=(const TWin32StationProcess&) = delete;

  bool Start(const std::string& program, const std::vector<std::string>& args, const std::string& input,
             std::string& error) override;
  void Read(std::string& out, std::string& err) override;
  bool Ended() override;
  bool Running() const override { return FProcess != nullptr && !FEnded; }
  int ExitCode() const override { return int(FExitCode); }
  bool Signalled() const override { return false; }
  long Pid() const override { return Running() ? long(FPid) : 0; }
  void Terminate() override;

private:
  // Ends it at once, as a crash would: no record.
  void Kill();

  HANDLE FProcess = nullptr;
  HANDLE FStop = nullptr;
  HANDLE FOut = nullptr, FErr = nullptr;
  DWORD FPid = 0;
  bool FEnded = false;
  DWORD FExitCode = 0;
};

}  // namespace

std::unique_ptr<TStationProcess> NewStationProcess() { return std::make_unique<TWin32StationProcess>(); }

std::string StationProgram() {
  std::wstring path(MAX_PATH, L'\0');
  for (;;) {
    const DWORD n = ::GetModuleFileNameW(nullptr, path.data(), DWORD(path.size()));
    if (n < path.size()) {
      path.resize(n);
      break;
    }
    path.resize(path.size() * 2);
  }
  path.resize(path.find_last_of(L"\\/") + 1);
  path += L"stb-downloader-cli.exe";
  const int n = ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), int(path.size()), nullptr, 0, nullptr, nullptr);
  std::string utf8(std::size_t(n > 0 ? n : 0), '\0');
  if (n > 0) ::WideCharToMultiByte(CP_UTF8, 0, path.c_str(), int(path.size()), utf8.data(), n, nullptr, nullptr);
  return utf8;
}

std::vector<std::string> StationArguments(const std::string& port) { return {"--json", "--port", port}; }


TWin32StationProcess::~TWin32StationProcess() {
  if (Running()) {
    Terminate();
    if (::WaitForSingleObject(FProcess, kStopGraceMs) != WAIT_OBJECT_0) Kill();
    ::WaitForSingleObject(FProcess, INFINITE);
  }
  CloseHandleOnce(FProcess);
  CloseHandleOnce(FStop);
  CloseHandleOnce(FOut);
  CloseHandleOnce(FErr);
}

bool TWin32StationProcess::Start(const std::string& program, const std::vector<std::string>& args,
                                 const std::string& input, std::string& error) {
  TStationPipes pipes;
  PROCESS_INFORMATION process{};
  if (!pipes.Make(error) || !Launch(program, args, pipes, process, error)) return false;
  FProcess = process.hProcess;
  FPid = process.dwProcessId;
  FStop = ::CreateEventA(nullptr, FALSE, FALSE, StopEventName(FPid).c_str());
  // The keyword goes in before the station runs: a few bytes into an empty
  // pipe, never a wait. It is never on its command line, where every
  // process listing would show it.
  DWORD written = 0;
  if (!input.empty()) ::WriteFile(pipes.InWrite, input.data(), DWORD(input.size()), &written, nullptr);
  CloseHandleOnce(pipes.InWrite);
  ::ResumeThread(process.hThread);
  ::CloseHandle(process.hThread);
  FOut = std::exchange(pipes.OutRead, nullptr);
  FErr = std::exchange(pipes.ErrRead, nullptr);
  return true;
}

void TWin32StationProcess::Read(std::string& out, std::string& err) {
  Drain(FOut, out);
  Drain(FErr, err);
}

bool TWin32StationProcess::Ended() {
  if (FEnded || FProcess == nullptr) return true;
  if (::WaitForSingleObject(FProcess, 0) != WAIT_OBJECT_0) return false;
  FEnded = true;
  if (!::GetExitCodeProcess(FProcess, &FExitCode)) FExitCode = DWORD(-1);
  return true;
}

void TWin32StationProcess::Terminate() {
  if (Running() && FStop != nullptr) ::SetEvent(FStop);
}

void TWin32StationProcess::Kill() {
  if (Running()) ::TerminateProcess(FProcess, 1);
}
