// Test tool that answers a message box of another process. Usage:
//   closebox <window title> <seconds>
// waits up to the given seconds for a top-level window with that title, prints "text=<text>" for
// each of its static controls that has text, presses its OK button and waits for the window to go.
// Exit codes: 0 answered and gone, 1 no such window appeared, 4 the window stayed open.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

std::wstring TextOf(HWND window) {
  wchar_t buffer[2048] = {};
  DWORD_PTR copied = 0;
  if (!::SendMessageTimeoutW(window, WM_GETTEXT, 2048, reinterpret_cast<LPARAM>(buffer), SMTO_ABORTIFHUNG, 5000, &copied))
    return {};
  return std::wstring(buffer, static_cast<size_t>(copied));
}

BOOL CALLBACK PrintStaticText(HWND child, LPARAM) {
  wchar_t className[64] = {};
  ::GetClassNameW(child, className, 64);
  if (::lstrcmpiW(className, L"Static") == 0) {
    std::wstring text = TextOf(child);
    if (!text.empty()) std::printf("text=%ls\n", text.c_str());
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: closebox <window title> <seconds>\n");
    return 2;
  }
  const DWORD waitMs = static_cast<DWORD>(_wtoi(argv[2])) * 1000;
  const DWORD start = ::GetTickCount();
  HWND box = nullptr;
  while (!(box = ::FindWindowW(nullptr, argv[1])) && ::GetTickCount() - start < waitMs) ::Sleep(50);
  if (!box) {
    std::printf("no-window\n");
    return 1;
  }
  // Let the box finish creating its controls before reading them.
  ::Sleep(300);
  ::EnumChildWindows(box, PrintStaticText, 0);
  std::fflush(stdout);
  HWND ok = ::GetDlgItem(box, IDOK);
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), reinterpret_cast<LPARAM>(ok));
  for (int attempt = 0; attempt < 100 && ::IsWindow(box); ++attempt) ::Sleep(100);
  if (::IsWindow(box)) {
    std::printf("still-open\n");
    return 4;
  }
  std::printf("closed\n");
  return 0;
}
