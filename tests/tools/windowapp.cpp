// Test tool standing in for an application with a window, which the updater closes before
// installing (WM_CLOSE to the application's visible, titled top-level windows) and starts again
// afterwards. Arguments (any order, each optional, unknown ones ignored):
//   /title <text>      title of its one top-level window (default "Window App")
//   /events <file>     appends UTF-8 lines to the file:
//                        started <pid> <raw command line>   once the window exists and is shown
//                        closed <pid>                       WM_CLOSE arrived; the program exits 0
//                        ignored-close <pid>                WM_CLOSE arrived under /ignoreclose
//                        timeout <pid>                      the lifetime ended; the program exits 0
//   /lifetime <s>      exits by itself after that many seconds (default 120), so that a test
//                      never leaves it running
//   /ignoreclose       keeps the window open on WM_CLOSE, like an application that refuses to close
// Exit codes: 0 closed or lifetime over, 1 the window could not be created.
#include <windows.h>

#include <string>
#include "support/tool_support.h"

namespace {

constexpr wchar_t kClassName[] = L"UpdaterTestWindowApp";
constexpr UINT_PTR kLifetimeTimer = 1;
constexpr DWORD kDefaultLifetimeSeconds = 120;

// What the command line asks for; read by the window procedure.
struct Options {
  std::wstring title = L"Window App";
  std::wstring eventsPath;
  DWORD lifetimeSeconds = kDefaultLifetimeSeconds;
  bool ignoreClose = false;
};

Options g_options;

bool IsSwitch(const wchar_t* argument, const wchar_t* name) { return ::lstrcmpiW(argument, name) == 0; }

// Parses an unsigned decimal number; returns false, leaving `value` alone, for anything else.
bool ParseDecimal(const std::wstring& text, DWORD& value) {
  if (text.empty()) return false;
  unsigned long long number = 0;
  for (wchar_t digit : text) {
    if (digit < L'0' || digit > L'9') return false;
    number = number * 10 + static_cast<unsigned long long>(digit - L'0');
    if (number > 0xFFFFFFFFull) return false;
  }
  value = static_cast<DWORD>(number);
  return true;
}

Options ParseArguments(int argc, wchar_t** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const wchar_t* argument = argv[i];
    if (IsSwitch(argument, L"/ignoreclose")) {
      options.ignoreClose = true;
      continue;
    }
    // Switches with a value; one given last without its value is ignored like an unknown one.
    if (i + 1 >= argc) continue;
    std::wstring value = argv[i + 1];
    bool known = true;
    if (IsSwitch(argument, L"/title")) {
      options.title = value;
    } else if (IsSwitch(argument, L"/events")) {
      options.eventsPath = value;
    } else if (IsSwitch(argument, L"/lifetime")) {
      ParseDecimal(value, options.lifetimeSeconds);
    } else {
      known = false;
    }
    if (known) ++i;  // the value is consumed
  }
  return options;
}

// Appends "<event> <pid>[ <detail>]" CRLF to the events file, when one was given. The file is
// opened per line with FILE_APPEND_DATA and full sharing, so that several instances (the old one
// and the restarted one) and the reading test can use it at the same time; one WriteFile call
// keeps each line in one piece.
void LogEvent(const wchar_t* event, const std::wstring& detail = std::wstring()) {
  if (g_options.eventsPath.empty()) return;
  std::wstring line = std::wstring(event) + L' ' + std::to_wstring(::GetCurrentProcessId());
  if (!detail.empty()) line += L' ' + detail;
  std::string bytes = tools::ToUtf8(line + L"\r\n");
  HANDLE file = ::CreateFileW(g_options.eventsPath.c_str(), FILE_APPEND_DATA,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  ::CloseHandle(file);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_CLOSE:
      // The updater asks the application to close.
      if (g_options.ignoreClose) {
        LogEvent(L"ignored-close");
        return 0;  // not passed on: the window stays
      }
      LogEvent(L"closed");
      ::DestroyWindow(window);
      return 0;
    case WM_TIMER:
      if (wParam == kLifetimeTimer) {
        // The lifetime is over: leave on our own so that no test leaves the program behind.
        ::KillTimer(window, kLifetimeTimer);
        LogEvent(L"timeout");
        ::DestroyWindow(window);
        return 0;
      }
      break;
    case WM_DESTROY:
      ::PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return ::DefWindowProcW(window, message, wParam, lParam);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  g_options = ParseArguments(argc, argv);
  HINSTANCE instance = ::GetModuleHandleW(nullptr);

  WNDCLASSEXW windowClass{};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hCursor = ::LoadCursorW(nullptr, IDC_ARROW);
  windowClass.hbrBackground = ::GetSysColorBrush(COLOR_WINDOW);  // a system brush: never freed
  windowClass.lpszClassName = kClassName;
  if (!::RegisterClassExW(&windowClass)) return 1;

  // A plain visible overlapped window with a title: what the updater looks for to close.
  HWND window = ::CreateWindowExW(0, kClassName, g_options.title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                  CW_USEDEFAULT, 400, 200, nullptr, nullptr, instance, nullptr);
  if (!window) {
    ::UnregisterClassW(kClassName, instance);
    return 1;
  }
  ::ShowWindow(window, SW_SHOWNORMAL);
  ::UpdateWindow(window);

  // SetTimer takes at most USER_TIMER_MAXIMUM milliseconds (about 24 days).
  unsigned long long lifetimeMs = static_cast<unsigned long long>(g_options.lifetimeSeconds) * 1000ull;
  if (lifetimeMs > USER_TIMER_MAXIMUM) lifetimeMs = USER_TIMER_MAXIMUM;
  ::SetTimer(window, kLifetimeTimer, static_cast<UINT>(lifetimeMs), nullptr);

  // The window exists and is shown: a test waiting for this line can now close it.
  LogEvent(L"started", ::GetCommandLineW());

  MSG message{};
  while (::GetMessageW(&message, nullptr, 0, 0) > 0) {
    ::TranslateMessage(&message);
    ::DispatchMessageW(&message);
  }
  // The window is destroyed by now (WM_DESTROY posted the quit message).
  ::UnregisterClassW(kClassName, instance);
  return 0;
}
