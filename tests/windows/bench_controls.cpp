// What the bench's window under Wine shows, read from outside as an
// operator's eye would: its check boxes, each with its text, whether it is
// ticked and whether it can still be ticked; and a click on one of them.
// bench.sh runs it beside stb-bench.exe, in the same Wine prefix.
//
//   bench_controls.exe list          one line per check box: TEXT ticked|unticked enabled|disabled
//   bench_controls.exe click TEXT    clicks the check box with that text
//
// Exit status 0, or 1 when there is no bench window or no such check box.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <string>
#include <vector>

namespace {

std::vector<HWND> CheckBoxes(HWND bench) {
  std::vector<HWND> boxes;
  for (HWND child = ::GetWindow(bench, GW_CHILD); child != nullptr; child = ::GetWindow(child, GW_HWNDNEXT)) {
    char cls[32] = {};
    ::GetClassNameA(child, cls, sizeof cls);
    const LONG type = ::GetWindowLongA(child, GWL_STYLE) & BS_TYPEMASK;
    if (std::string(cls) == "Button" && (type == BS_AUTOCHECKBOX || type == BS_CHECKBOX)) boxes.push_back(child);
  }
  return boxes;
}

std::string TextOf(HWND control) {
  char text[256] = {};
  ::GetWindowTextA(control, text, sizeof text);
  return text;
}

}  // namespace

int main(int argc, char** argv) {
  HWND bench = ::FindWindowA("TBenchWindow", nullptr);
  if (bench == nullptr) {
    std::fprintf(stderr, "no bench window\n");
    return 1;
  }
  const std::string command = argc > 1 ? argv[1] : "list";
  for (HWND box : CheckBoxes(bench)) {
    if (command == "list") {
      std::printf("%s %s %s\n", TextOf(box).c_str(),
                  ::SendMessageA(box, BM_GETCHECK, 0, 0) == BST_CHECKED ? "ticked" : "unticked",
                  ::IsWindowEnabled(box) ? "enabled" : "disabled");
    } else if (command == "click" && argc > 2 && TextOf(box) == argv[2]) {
      ::SendMessageA(box, BM_CLICK, 0, 0);
      return 0;
    }
  }
  return command == "list" ? 0 : 1;
}
