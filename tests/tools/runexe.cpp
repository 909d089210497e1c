// Test launcher: starts a Windows program with the rest of this command line, waits for it and
// prints its full 32-bit exit code ("exit=<decimal>"), which Wine would cut to 8 bits on Linux.
// The command line comes verbatim from the environment variable RUNEXE_COMMAND when it is set, so
// that tests control quoting exactly; otherwise it is the rest of this program's command line.
#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// The raw command line after our own program path (quoted or not).
std::wstring ArgumentsAfterProgram(const wchar_t* line) {
  const wchar_t* p = line;
  if (*p == L'"') {
    ++p;
    while (*p && *p != L'"') ++p;
    if (*p) ++p;
  } else {
    while (*p && *p != L' ' && *p != L'\t') ++p;
  }
  while (*p == L' ' || *p == L'\t') ++p;
  return p;
}

}  // namespace

int wmain() {
  std::wstring command;
  wchar_t fromEnvironment[32768];
  DWORD length = ::GetEnvironmentVariableW(L"RUNEXE_COMMAND", fromEnvironment, 32768);
  if (length > 0 && length < 32768)
    command.assign(fromEnvironment, length);
  else
    command = ArgumentsAfterProgram(::GetCommandLineW());
  if (command.empty()) {
    std::fprintf(stderr, "usage: runexe <program> [arguments]\n");
    return 2;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!::CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &process)) {
    std::printf("start-failed=%lu\n", ::GetLastError());
    return 3;
  }
  ::CloseHandle(process.hThread);
  ::WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  ::GetExitCodeProcess(process.hProcess, &code);
  ::CloseHandle(process.hProcess);
  std::printf("exit=%lu\n", static_cast<unsigned long>(code));
  std::fflush(stdout);
  return 0;
}
