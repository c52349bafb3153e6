#include "Win32StationProcess.h"

#include <memory>

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

}  // namespace

std::wstring CommandLineOf(const std::string& program, const std::vector<std::string>& args) {
  std::wstring line;
  AppendQuoted(line, Wide(program));
  for (const std::string& arg : args) AppendQuoted(line, Wide(arg));
  return line;
}

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
  // Made uninheritable, then only the station's ends of them inheritable, and
  // those named in its handle list: no station holds another row's pipe (or
  // anything else of the bench's), so each sees its own end when its peer goes.
  HANDLE inRead = nullptr, inWrite = nullptr, outRead = nullptr, outWrite = nullptr, errRead = nullptr,
         errWrite = nullptr;
  auto closeAll = [&] {
    for (HANDLE* h : {&inRead, &inWrite, &outRead, &outWrite, &errRead, &errWrite}) CloseHandleOnce(*h);
  };
  if (!::CreatePipe(&inRead, &inWrite, nullptr, kPipeBytes) || !::CreatePipe(&outRead, &outWrite, nullptr, kPipeBytes) ||
      !::CreatePipe(&errRead, &errWrite, nullptr, kPipeBytes)) {
    error = "CreatePipe: " + SystemReason(::GetLastError());
    closeAll();
    return false;
  }
  std::vector<HANDLE> inherited{inRead, outWrite, errWrite};
  for (HANDLE h : inherited) ::SetHandleInformation(h, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  TAttributeList attributes(inherited);

  STARTUPINFOEXW info{};
  info.StartupInfo.cb = sizeof info;
  info.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  info.StartupInfo.hStdInput = inRead;
  info.StartupInfo.hStdOutput = outWrite;
  info.StartupInfo.hStdError = errWrite;
  info.lpAttributeList = attributes.FList;
  // Suspended until its stop event exists, so that a stop can never come
  // before the station would see it.
  DWORD flags = CREATE_NO_WINDOW | CREATE_SUSPENDED | CREATE_UNICODE_ENVIRONMENT;
  if (attributes.FList != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  std::wstring line = CommandLineOf(program, args);
  const std::wstring path = Wide(program);
  PROCESS_INFORMATION process{};
  const BOOL started = ::CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                                        &info.StartupInfo, &process);
  const DWORD startError = ::GetLastError();
  CloseHandleOnce(inRead);
  CloseHandleOnce(outWrite);
  CloseHandleOnce(errWrite);
  if (!started) {
    error = program + ": " + SystemReason(startError);
    closeAll();
    return false;
  }
  FProcess = process.hProcess;
  FPid = process.dwProcessId;
  FStop = ::CreateEventA(nullptr, FALSE, FALSE, StopEventName(FPid).c_str());
  // The keyword goes in before the station runs: a few bytes into an empty
  // pipe, never a wait. It is never on its command line, where every
  // process listing would show it.
  DWORD written = 0;
  if (!input.empty()) ::WriteFile(inWrite, input.data(), DWORD(input.size()), &written, nullptr);
  CloseHandleOnce(inWrite);
  ::ResumeThread(process.hThread);
  ::CloseHandle(process.hThread);
  FOut = outRead;
  FErr = errRead;
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
