#include "base/process.h"

#include <shellapi.h>

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

Result StartProgram(const ProgramStart& start, UniqueHandle* process, DWORD* processId) {
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (start.hidden) {
    startup.dwFlags = STARTF_USESHOWWINDOW;
    startup.wShowWindow = SW_HIDE;
  }
  PROCESS_INFORMATION info{};
  std::wstring commandLine = start.commandLine;  // CreateProcessW may write into it
  if (!::CreateProcessW(start.application.empty() ? nullptr : start.application.c_str(), commandLine.data(), nullptr,
                        nullptr, FALSE, 0, nullptr, start.folder.empty() ? nullptr : start.folder.c_str(), &startup,
                        &info))
    return ::GetLastError();
  UniqueHandle started(info.hProcess);
  UniqueHandle thread(info.hThread);
  if (processId) *processId = info.dwProcessId;
  if (process) *process = std::move(started);
  return kOk;
}

Result OpenWithShell(const ShellOpen& open, UniqueHandle* process) {
  // The shell may hand the call to extensions that are COM objects. A thread without COM (a quiet
  // check starting the application) gets it for this call, and the call completes before COM goes.
  ComInitialization com(COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
  const bool comJustForThisCall = com.Result() == S_OK;
  SHELLEXECUTEINFOW info{};
  info.cbSize = sizeof(info);
  info.fMask = SEE_MASK_FLAG_NO_UI | (open.waitForStart || comJustForThisCall ? SEE_MASK_NOASYNC : 0) |
               (process ? SEE_MASK_NOCLOSEPROCESS : 0);
  info.lpVerb = open.verb;
  info.lpFile = open.file.c_str();
  info.lpParameters = open.parameters.empty() ? nullptr : open.parameters.c_str();
  info.lpDirectory = open.folder.empty() ? nullptr : open.folder.c_str();
  info.nShow = open.show;
  if (!::ShellExecuteExW(&info)) return ::GetLastError();
  if (process) process->Reset(info.hProcess);
  return kOk;
}

Result WaitForExit(HANDLE process, DWORD* exitCode) {
  if (::WaitForSingleObject(process, INFINITE) == WAIT_FAILED) return ::GetLastError();
  DWORD code = 0;
  if (!::GetExitCodeProcess(process, &code)) return ::GetLastError();
  if (exitCode) *exitCode = code;
  return kOk;
}

}  // namespace updater
