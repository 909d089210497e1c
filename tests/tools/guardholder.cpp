// Test tool: plays a running updater instance. Creates the 52-byte shared block under the given
// name, registers the activation message and waits (bounded) for another process to post it.
// Prints "ready" once listening and "activated wparam=<w> lparam=<l>" when the request arrives.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: guardholder <block name> <seconds>\n");
    return 2;
  }
  const wchar_t* name = argv[1];
  DWORD seconds = static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10));
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 52, name);
  if (!mapping) return 3;
  auto* words = static_cast<volatile LONG*>(::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 52));
  if (!words) return 4;
  UINT message = ::RegisterWindowMessageW(name);
  MSG msg;
  ::PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);  // creates this thread's message queue
  words[0] = static_cast<LONG>(message);
  words[1] = static_cast<LONG>(::GetCurrentThreadId());
  std::printf("ready\n");
  std::fflush(stdout);
  DWORD deadline = ::GetTickCount() + seconds * 1000;
  int exitCode = 1;
  while (static_cast<LONG>(deadline - ::GetTickCount()) > 0) {
    if (::PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
      if (msg.message == message) {
        std::printf("activated wparam=%u lparam=%ld\n", static_cast<unsigned>(msg.wParam),
                    static_cast<long>(msg.lParam));
        std::fflush(stdout);
        exitCode = 0;
        break;
      }
      continue;
    }
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
  }
  ::UnmapViewOfFile(const_cast<LONG*>(words));
  ::CloseHandle(mapping);
  return exitCode;
}
