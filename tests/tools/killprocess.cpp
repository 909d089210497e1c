// Test tool: ends another process abruptly, the way a crash or a killed task ends it.
// Usage: killprocess <process id>. Exit code 0 when the process was terminated, else the error.
#include <windows.h>

#include <cstdio>
#include <cwchar>

#include "base/win_handles.h"

int wmain(int argc, wchar_t** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: killprocess <process id>\n");
    return 2;
  }
  DWORD processId = wcstoul(argv[1], nullptr, 10);
  updater::UniqueHandle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId));
  if (!process) return static_cast<int>(::GetLastError());
  if (!::TerminateProcess(process.Get(), 137)) return static_cast<int>(::GetLastError());
  ::WaitForSingleObject(process.Get(), 10000);
  std::printf("killed %lu\n", processId);
  return 0;
}
