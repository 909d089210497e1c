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

// Kernel handles for which failure is NULL (events, mutexes, mappings, threads, processes).
struct KernelHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using UniqueHandle = UniqueResource<KernelHandleTraits>;

// File handles, for which failure is INVALID_HANDLE_VALUE.
struct FileHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::CloseHandle(h); }
};
using UniqueFile = UniqueResource<FileHandleTraits>;

struct FindHandleTraits {
  using Handle = HANDLE;
  static Handle Invalid() noexcept { return INVALID_HANDLE_VALUE; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr || h == INVALID_HANDLE_VALUE; }
  static void Close(Handle h) noexcept { ::FindClose(h); }
};
using UniqueFind = UniqueResource<FindHandleTraits>;

struct RegKeyTraits {
  using Handle = HKEY;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::RegCloseKey(h); }
};
using UniqueRegKey = UniqueResource<RegKeyTraits>;

struct MappedViewTraits {
  using Handle = void*;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::UnmapViewOfFile(h); }
};
using UniqueMappedView = UniqueResource<MappedViewTraits>;

struct LibraryTraits {
  using Handle = HMODULE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::FreeLibrary(h); }
};
using UniqueLibrary = UniqueResource<LibraryTraits>;

struct InternetHandleTraits {
  using Handle = HINTERNET;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::InternetCloseHandle(h); }
};
using UniqueInternetHandle = UniqueResource<InternetHandleTraits>;

struct CryptProvTraits {
  using Handle = HCRYPTPROV;
  static Handle Invalid() noexcept { return 0; }
  static bool IsInvalid(Handle h) noexcept { return h == 0; }
  static void Close(Handle h) noexcept { ::CryptReleaseContext(h, 0); }
};
using UniqueCryptProv = UniqueResource<CryptProvTraits>;

struct CryptHashTraits {
  using Handle = HCRYPTHASH;
  static Handle Invalid() noexcept { return 0; }
  static bool IsInvalid(Handle h) noexcept { return h == 0; }
  static void Close(Handle h) noexcept { ::CryptDestroyHash(h); }
};
using UniqueCryptHash = UniqueResource<CryptHashTraits>;

struct CryptKeyTraits {
  using Handle = HCRYPTKEY;
  static Handle Invalid() noexcept { return 0; }
  static bool IsInvalid(Handle h) noexcept { return h == 0; }
  static void Close(Handle h) noexcept { ::CryptDestroyKey(h); }
};
using UniqueCryptKey = UniqueResource<CryptKeyTraits>;

struct CertStoreTraits {
  using Handle = HCERTSTORE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CertCloseStore(h, 0); }
};
using UniqueCertStore = UniqueResource<CertStoreTraits>;

struct CertContextTraits {
  using Handle = PCCERT_CONTEXT;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CertFreeCertificateContext(h); }
};
using UniqueCertContext = UniqueResource<CertContextTraits>;

struct CertChainTraits {
  using Handle = PCCERT_CHAIN_CONTEXT;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CertFreeCertificateChain(h); }
};
using UniqueCertChain = UniqueResource<CertChainTraits>;

struct CryptMsgTraits {
  using Handle = HCRYPTMSG;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CryptMsgClose(h); }
};
using UniqueCryptMsg = UniqueResource<CryptMsgTraits>;

struct LocalMemTraits {
  using Handle = HLOCAL;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::LocalFree(h); }
};
using UniqueLocalMem = UniqueResource<LocalMemTraits>;

// Memory the shell hands out (an item list of the folder browser, say).
struct CoTaskMemTraits {
  using Handle = void*;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CoTaskMemFree(h); }
};
using UniqueCoTaskMem = UniqueResource<CoTaskMemTraits>;

// A font, brush or other GDI object made by the program.
struct GdiObjectTraits {
  using Handle = HGDIOBJ;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::DeleteObject(h); }
};
using UniqueGdiObject = UniqueResource<GdiObjectTraits>;

struct SecurityIdTraits {
  using Handle = PSID;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::FreeSid(h); }
};
using UniqueSid = UniqueResource<SecurityIdTraits>;

struct ServiceHandleTraits {
  using Handle = SC_HANDLE;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::CloseServiceHandle(h); }
};
using UniqueServiceHandle = UniqueResource<ServiceHandleTraits>;

// The screen's device context (GetDC of no window).
struct ScreenDcTraits {
  using Handle = HDC;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::ReleaseDC(nullptr, h); }
};
using UniqueScreenDc = UniqueResource<ScreenDcTraits>;

struct MenuTraits {
  using Handle = HMENU;
  static Handle Invalid() noexcept { return nullptr; }
  static bool IsInvalid(Handle h) noexcept { return h == nullptr; }
  static void Close(Handle h) noexcept { ::DestroyMenu(h); }
};
using UniqueMenu = UniqueResource<MenuTraits>;

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
