// Scope-bound owners for Win32 resources. Every handle, key, mapping, view and find handle the
// updater opens is held by one of these so that it is released on every path.
#pragma once

#include <windows.h>
#include <wininet.h>
#include <wincrypt.h>
#include <objbase.h>

#include <utility>

namespace updater {

// Generic owner: Traits supplies the invalid value and the release call.
template <typename Traits>
class UniqueResource {
 public:
  using Handle = typename Traits::Handle;

  UniqueResource() noexcept = default;
  explicit UniqueResource(Handle handle) noexcept : handle_(handle) {}
  ~UniqueResource() { Reset(); }

  UniqueResource(const UniqueResource&) = delete;
  UniqueResource& operator=(const UniqueResource&) = delete;
  UniqueResource(UniqueResource&& other) noexcept : handle_(other.Release()) {}
  UniqueResource& operator=(UniqueResource&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }

  Handle Get() const noexcept { return handle_; }
  bool Valid() const noexcept { return !Traits::IsInvalid(handle_); }
  explicit operator bool() const noexcept { return Valid(); }

  Handle Release() noexcept { return std::exchange(handle_, Traits::Invalid()); }
  void Reset(Handle handle = Traits::Invalid()) noexcept {
    Handle old = std::exchange(handle_, handle);
    if (!Traits::IsInvalid(old)) Traits::Close(old);
  }
  // For out-parameters of creating calls: releases what is held and exposes the slot.
  Handle* Put() noexcept {
    Reset();
    return &handle_;
  }

 private:
  Handle handle_ = Traits::Invalid();
};

// What "no handle" is for a kind of handle: null (the default), or, for the kinds that report
// failure as INVALID_HANDLE_VALUE, that value; both of these kinds take null for "none" as well.
enum class NoHandle { kNull, kNullOrInvalidValue, kInvalidValue };

// The traits of one kind of handle: its type, the call that releases it, and what "none" is.
template <typename H, auto Release, NoHandle kNone = NoHandle::kNull>
struct HandleTraits {
  using Handle = H;
  static Handle Invalid() noexcept {
    if constexpr (kNone == NoHandle::kInvalidValue) {
      return INVALID_HANDLE_VALUE;
    } else {
      return Handle{};
    }
  }
  static bool IsInvalid(Handle h) noexcept {
    if constexpr (kNone == NoHandle::kNull) {
      return h == Handle{};
    } else {
      return h == nullptr || h == INVALID_HANDLE_VALUE;
    }
  }
  static void Close(Handle h) noexcept { Release(h); }
};

// Release calls that take more than the handle.
inline void ReleaseCryptContext(HCRYPTPROV provider) noexcept { ::CryptReleaseContext(provider, 0); }
inline void CloseCertStore(HCERTSTORE store) noexcept { ::CertCloseStore(store, 0); }
inline void ReleaseScreenDc(HDC dc) noexcept { ::ReleaseDC(nullptr, dc); }

// Events, mutexes, mappings, threads, processes.
using UniqueHandle = UniqueResource<HandleTraits<HANDLE, &::CloseHandle, NoHandle::kNullOrInvalidValue>>;
using UniqueFile = UniqueResource<HandleTraits<HANDLE, &::CloseHandle, NoHandle::kInvalidValue>>;
using UniqueFind = UniqueResource<HandleTraits<HANDLE, &::FindClose, NoHandle::kInvalidValue>>;
using UniqueRegKey = UniqueResource<HandleTraits<HKEY, &::RegCloseKey>>;
using UniqueMappedView = UniqueResource<HandleTraits<void*, &::UnmapViewOfFile>>;
using UniqueLibrary = UniqueResource<HandleTraits<HMODULE, &::FreeLibrary>>;
using UniqueInternetHandle = UniqueResource<HandleTraits<HINTERNET, &::InternetCloseHandle>>;
using UniqueCryptProv = UniqueResource<HandleTraits<HCRYPTPROV, &ReleaseCryptContext>>;
using UniqueCryptHash = UniqueResource<HandleTraits<HCRYPTHASH, &::CryptDestroyHash>>;
using UniqueCryptKey = UniqueResource<HandleTraits<HCRYPTKEY, &::CryptDestroyKey>>;
using UniqueCertStore = UniqueResource<HandleTraits<HCERTSTORE, &CloseCertStore>>;
using UniqueCertContext = UniqueResource<HandleTraits<PCCERT_CONTEXT, &::CertFreeCertificateContext>>;
using UniqueCertChain = UniqueResource<HandleTraits<PCCERT_CHAIN_CONTEXT, &::CertFreeCertificateChain>>;
using UniqueCryptMsg = UniqueResource<HandleTraits<HCRYPTMSG, &::CryptMsgClose>>;
using UniqueLocalMem = UniqueResource<HandleTraits<HLOCAL, &::LocalFree>>;
// Memory the shell hands out (an item list of the folder browser, say).
using UniqueCoTaskMem = UniqueResource<HandleTraits<void*, &::CoTaskMemFree>>;
// A font, brush or other GDI object made by the program.
using UniqueGdiObject = UniqueResource<HandleTraits<HGDIOBJ, &::DeleteObject>>;
using UniqueSid = UniqueResource<HandleTraits<PSID, &::FreeSid>>;
using UniqueServiceHandle = UniqueResource<HandleTraits<SC_HANDLE, &::CloseServiceHandle>>;
// The screen's device context (GetDC of no window).
using UniqueScreenDc = UniqueResource<HandleTraits<HDC, &ReleaseScreenDc>>;
using UniqueMenu = UniqueResource<HandleTraits<HMENU, &::DestroyMenu>>;

// Holds a critical section entered for the lifetime of the object.
class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CRITICAL_SECTION& section) noexcept : section_(section) {
    ::EnterCriticalSection(&section_);
  }
  ~CriticalSectionLock() { ::LeaveCriticalSection(&section_); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CRITICAL_SECTION& section_;
};

// Holds an exclusive lock on a byte range of an open file for the lifetime of the object; waits
// until other handles release it. Without a lock (a file system that has none) it holds nothing.
class FileRangeLock {
 public:
  FileRangeLock(HANDLE file, ULONGLONG offset, DWORD length) noexcept : file_(file), length_(length) {
    range_.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
    range_.OffsetHigh = static_cast<DWORD>(offset >> 32);
    held_ = ::LockFileEx(file_, LOCKFILE_EXCLUSIVE_LOCK, 0, length_, 0, &range_) != FALSE;
  }
  ~FileRangeLock() {
    if (held_) ::UnlockFileEx(file_, 0, length_, 0, &range_);
  }
  bool Held() const noexcept { return held_; }
  FileRangeLock(const FileRangeLock&) = delete;
  FileRangeLock& operator=(const FileRangeLock&) = delete;

 private:
  HANDLE file_;
  DWORD length_;
  OVERLAPPED range_{};
  bool held_ = false;
};

// Balances CoInitializeEx when it succeeded.
class ComInitialization {
 public:
  explicit ComInitialization(DWORD flags) noexcept : hr_(::CoInitializeEx(nullptr, flags)) {}
  ~ComInitialization() {
    if (SUCCEEDED(hr_)) ::CoUninitialize();
  }
  ComInitialization(const ComInitialization&) = delete;
  ComInitialization& operator=(const ComInitialization&) = delete;
  HRESULT Result() const noexcept { return hr_; }

 private:
  HRESULT hr_;
};

}  // namespace updater
