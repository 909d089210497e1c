#include "base/os_version.h"

namespace updater {

OSVERSIONINFOEXW RealOsVersion() {
  OSVERSIONINFOEXW info{};
  info.dwOSVersionInfoSize = sizeof(info);
  using RtlGetVersionFn = LONG(WINAPI*)(OSVERSIONINFOEXW*);
  HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  auto rtlGetVersion = ntdll ? reinterpret_cast<RtlGetVersionFn>(::GetProcAddress(ntdll, "RtlGetVersion")) : nullptr;
  if (!rtlGetVersion || rtlGetVersion(&info) != 0) {
    info = OSVERSIONINFOEXW{};
    info.dwOSVersionInfoSize = sizeof(info);
  }
  return info;
}

bool IsWindows8OrLater() {
  OSVERSIONINFOEXW info = RealOsVersion();
  return info.dwMajorVersion > 6 || (info.dwMajorVersion == 6 && info.dwMinorVersion >= 2);
}

bool IsWindows10OrLater() { return RealOsVersion().dwMajorVersion >= 10; }

}  // namespace updater
