#include "base/instance_guard.h"

#include <algorithm>

#include "base/logger.h"

namespace updater {

std::wstring GuardObjectName(const std::wstring& path) {
  std::wstring name = path;
  std::replace(name.begin(), name.end(), L'\\', L'_');
  return name;
}

std::wstring ReplaceExtension(const std::wstring& path, const std::wstring& newExtension) {
  size_t slash = path.find_last_of(L"\\/");
  size_t dot = path.find_last_of(L'.');
  if (dot == std::wstring::npos || (slash != std::wstring::npos && dot < slash)) return path + newExtension;
  return path.substr(0, dot) + newExtension;
}

bool InstanceGuard::Open(const std::wstring& name) {
  name_ = name;
  mapping_.Reset(::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kBlockSize, name.c_str()));
  if (!mapping_) {
    LogError(L"InstanceGuard: cannot create the shared block " + name, ::GetLastError());
    isFirst_ = true;  // without a block no other instance can be found either
    return isFirst_;
  }
  isFirst_ = ::GetLastError() != ERROR_ALREADY_EXISTS;
  view_.Reset(::MapViewOfFile(mapping_.Get(), FILE_MAP_ALL_ACCESS, 0, 0, kBlockSize));
  if (view_ && isFirst_) {
    auto* words = static_cast<volatile LONG*>(view_.Get());
    ::InterlockedExchange(&words[1], 0);
    ::InterlockedExchange(&words[0], static_cast<LONG>(::RegisterWindowMessageW(name.c_str())));
  }
  return isFirst_;
}

bool InstanceGuard::Acquire(const std::wstring& path) { return Open(GuardObjectName(path)); }

bool InstanceGuard::AcquireInstall(const std::wstring& realUpdaterPath) {
  if (realUpdaterPath.empty()) {
    isFirst_ = true;
    return true;
  }
  if (!Open(GuardObjectName(ReplaceExtension(realUpdaterPath, L".tmp")))) return false;
  mutex_.Reset(::CreateMutexW(nullptr, TRUE, GuardObjectName(ReplaceExtension(realUpdaterPath, L".mtx")).c_str()));
  return true;
}

UINT InstanceGuard::ActivationMessage() const {
  if (!view_) return 0;
  return static_cast<UINT>(static_cast<const volatile LONG*>(view_.Get())[0]);
}

void InstanceGuard::SetListenerThread(DWORD threadId) {
  if (!view_) return;
  ::InterlockedExchange(&static_cast<volatile LONG*>(view_.Get())[1], static_cast<LONG>(threadId));
}

void InstanceGuard::ActivateRunningInstance(bool startMinimized) const {
  if (!view_) return;
  const auto* words = static_cast<const volatile LONG*>(view_.Get());
  DWORD threadId = static_cast<DWORD>(words[1]);
  UINT message = static_cast<UINT>(words[0]);
  if (threadId != 0 && message != 0) ::PostThreadMessageW(threadId, message, 1, startMinimized ? 1 : 0);
}

Result EnsureFirstInstance(InstanceGuard& guard, const std::wstring& path, bool startMinimized) {
  if (guard.Acquire(path)) return kOk;
  guard.ActivateRunningInstance(startMinimized);
  return E_UPD_ALREADY_RUNNING;
}

}  // namespace updater
