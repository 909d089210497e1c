// Single-instance guards: a named 52-byte shared block per updater path through which a second
// process finds the first one and asks it to come to the foreground.
#pragma once

#include <windows.h>

#include <string>

#include "base/result_codes.h"
#include "base/win_handles.h"

namespace updater {

// "C:\a\b.exe" -> "C:_a_b.exe": object names may not contain backslashes.
std::wstring GuardObjectName(const std::wstring& path);
// The path with its extension (from the last ".") replaced by newExtension (e.g. ".tmp").
std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& newExtension);

class InstanceGuard {
 public:
  static constexpr DWORD kBlockSize = 52;

  InstanceGuard() = default;
  InstanceGuard(const InstanceGuard&) = delete;
  InstanceGuard& operator=(const InstanceGuard&) = delete;

  // Creates or opens the block named after path; true when this process created it.
  bool Acquire(const std::wstring& path);
  // Install guard: the block named after the path with ".tmp", and when first an initially owned
  // mutex named after the path with ".mtx". An empty path counts as first.
  bool AcquireInstall(const std::wstring& realUpdaterPath);

  bool IsFirst() const { return isFirst_; }
  const std::wstring& Name() const { return name_; }
  UINT ActivationMessage() const;
  // Stores the thread that receives activation requests (word 1 of the block).
  void SetListenerThread(DWORD threadId);
  // Posts the activation request (wParam 1, lParam startMinimized) to the running instance.
  void ActivateRunningInstance(bool startMinimized) const;

 private:
  bool Open(const std::wstring& name);

  std::wstring name_;
  bool isFirst_ = false;
  UniqueHandle mapping_;
  UniqueMappedView view_;
  UniqueHandle mutex_;
};

// The checking modes' first-instance test: 0 when first, else activates the other instance and
// returns E_UPD_ALREADY_RUNNING.
Result EnsureFirstInstance(InstanceGuard& guard, const std::wstring& path, bool startMinimized);

}  // namespace updater
