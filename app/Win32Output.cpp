#include "Win32Output.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <shellapi.h>

namespace {

bool WriteAll(HANDLE out, const std::string& text) {
  DWORD written = 0;
  return ::WriteFile(out, text.data(), DWORD(text.size()), &written, nullptr) && written == text.size();
}

bool WriteInherited(DWORD which, const std::string& text) {
  HANDLE inherited = ::GetStdHandle(which);
  return inherited != nullptr && inherited != INVALID_HANDLE_VALUE && ::GetFileType(inherited) != FILE_TYPE_UNKNOWN &&
         WriteAll(inherited, text);
}

}  // namespace

std::vector<std::string> Arguments() {
  std::vector<std::string> args;
  int argc = 0;
  LPWSTR* argv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
  if (argv == nullptr) return args;
  for (int i = 1; i < argc; ++i) {
    const int n = ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, nullptr, 0, nullptr, nullptr);
    std::string arg(std::size_t(n > 0 ? n - 1 : 0), '\0');
    if (n > 1) ::WideCharToMultiByte(CP_UTF8, 0, argv[i], -1, arg.data(), n, nullptr, nullptr);
    args.push_back(std::move(arg));
  }
  ::LocalFree(argv);
  return args;
}

bool TellInherited(const std::string& text) { return WriteInherited(STD_OUTPUT_HANDLE, text); }

// A window program has no console of its own. Its output sent to a file or a
// pipe goes there; started from a command prompt it writes to that prompt's
// console, as the console twin does; started from the Start menu or Explorer
// there is neither, and the text goes into a message box.
void Tell(const std::string& text, bool error, const char* title) {
  if (WriteInherited(error ? STD_ERROR_HANDLE : STD_OUTPUT_HANDLE, text)) return;
  if (::AttachConsole(ATTACH_PARENT_PROCESS)) {
    HANDLE out = ::CreateFileA("CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                               OPEN_EXISTING, 0, nullptr);
    if (out != INVALID_HANDLE_VALUE) {
      // The prompt came back when the program started: begin on a line of
      // our own, with the console's CR LF.
      std::string shown = "\r\n";
      for (char c : text) {
        if (c == '\n') shown += '\r';
        shown += c;
      }
      const bool done = WriteAll(out, shown);
      ::CloseHandle(out);
      ::FreeConsole();
      if (done) return;
    } else {
      ::FreeConsole();
    }
  }
  ::MessageBoxA(nullptr, text.c_str(), title, MB_OK | (error ? MB_ICONWARNING : MB_ICONINFORMATION));
}
