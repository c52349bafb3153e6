// The downloader's entry on Windows: its one window and the message loop.
// The program ends when the window closes; its exit status says how the
// run's download ended, as on Linux: 0 succeeded, 1 failed or stopped, 2 no
// receiver was reached.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <exception>

#include "MainFrm.h"

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
  try {
    TForm1 Form1;
    if (Form1.Handle == nullptr) return 1;
    Form1.Show();
    MSG msg;
    while (::GetMessageA(&msg, nullptr, 0, 0) > 0) {
      ::TranslateMessage(&msg);
      ::DispatchMessageA(&msg);
    }
    return ExitStatus(Form1.DownloadResult());
  } catch (const std::exception& e) {
    ShowHandlerError(e.what());
    return ExitStatus(std::nullopt);
  }
}
