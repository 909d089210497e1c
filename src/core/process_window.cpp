#include "core/process_window.h"

namespace updater {
namespace {

constexpr int kForegroundAttempts = 20;
constexpr DWORD kForegroundWaitMs = 100;

struct WindowSearch {
  DWORD processId;
  HWND found;
};

BOOL CALLBACK FindProcessWindow(HWND window, LPARAM context) {
  auto* search = reinterpret_cast<WindowSearch*>(context);
  DWORD owner = 0;
  ::GetWindowThreadProcessId(window, &owner);
  if (owner == search->processId && ::IsWindowVisible(window)) {
    search->found = window;
    return FALSE;
  }
  return TRUE;
}

}  // namespace

bool BringProcessWindowToForeground(DWORD processId) {
  WindowSearch search{processId, nullptr};
  for (int attempt = 0; attempt < kForegroundAttempts; ++attempt) {
    search.found = nullptr;
    ::EnumWindows(FindProcessWindow, reinterpret_cast<LPARAM>(&search));
    if (search.found) {
      ::SetForegroundWindow(search.found);
      return true;
    }
    ::Sleep(kForegroundWaitMs);
  }
  return false;
}

}  // namespace updater
