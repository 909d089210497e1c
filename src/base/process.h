// Processes the updater starts: programs (CreateProcess), documents and programs opened through
// the shell (ShellExecuteEx), waiting for them, and bringing a new one's window to the user.
#pragma once

#include <windows.h>

#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

// A program to start: CreateProcess's application and command line, without handle inheritance.
struct ProgramStart {
  std::wstring application;
  std::wstring commandLine;  // the whole command line, the program's own name included
  std::wstring folder;       // its current folder; empty: this process's
  bool hidden = false;       // its first window hidden
};
// 0 and (when asked) the process handle and id, or the Windows error of the start.
Result StartProgram(const ProgramStart& start, UniqueHandle* process = nullptr, DWORD* processId = nullptr);

// A file opened through the shell, as Explorer would open it.
struct ShellOpen {
  const wchar_t* verb = L"open";  // null: the file type's default verb
  std::wstring file;
  std::wstring parameters;
  std::wstring folder;        // the started program's current folder; empty: the shell's choice
  int show = SW_SHOWNORMAL;
  bool waitForStart = false;  // the shell's work is done when the call returns (SEE_MASK_NOASYNC)
};
// 0 and (when asked) the handle of the process it started, when there is one; or the Windows error.
// The shell shows no error window of its own.
Result OpenWithShell(const ShellOpen& open, UniqueHandle* process = nullptr);

// Waits for the process to end, without limit; 0 and its exit code, or the error of reading it.
Result WaitForExit(HANDLE process, DWORD* exitCode = nullptr);

// Looks for a visible top-level window of the process up to 20 times, 100 ms apart; true when one
// was found and brought to the foreground.
bool BringProcessWindowToForeground(DWORD processId);

}  // namespace updater
