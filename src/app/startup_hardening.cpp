#include "app/startup_hardening.h"

#include <windows.h>

#include "base/paths.h"
#include "base/win_handles.h"

namespace updater {
namespace {

constexpr DWORD kSafeSearchPermanent = 0x8001;       // BASE_SEARCH_PATH_ENABLE_SAFE_SEARCHMODE | PERMANENT
constexpr DWORD kSearchSystem32Only = 0x800;          // LOAD_LIBRARY_SEARCH_SYSTEM32

bool PathExists(const std::wstring& path) { return ::GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

}  // namespace

const std::vector<const wchar_t*>& PreloadedSystemLibraries() {
  static const std::vector<const wchar_t*> libraries = {
      L"psapi.dll",   L"WindowsCodecs.dll", L"bcrypt.dll",   L"msi.dll",      L"USP10.dll",    L"msls31.dll",
      L"version.dll", L"mpr.dll",           L"uxtheme.dll",  L"profapi.dll",  L"gdiplus.dll",  L"userenv.dll",
      L"dwmapi.dll",  L"davhlpr.dll",       L"ole32.dll",    L"oleaut32.dll", L"comctl32.dll", L"shell32.dll",
      L"advapi32.dll", L"gdi32.dll",        L"user32.dll",   L"comdlg32.dll", L"msimg32.dll",  L"dbghelp.dll",
      L"version.dll", L"wininet.dll",       L"urlmon.dll",   L"mpr.dll",      L"uxtheme.dll",  L"msi.dll",
      L"gdiplus.dll", L"cabinet.dll",       L"kernel32.dll", L"propsys.dll",  L"rsaenh.dll",   L"apphelp.dll",
      L"msasn1.dll",  L"crypt32.dll",       L"wintrust.dll", L"shlwapi.dll",  L"lpk.dll",      L"setupapi.dll",
      L"usp10.dll",   L"msihnd.dll",        L"shcore.dll",   L"cryptsp.dll",  L"secur32.dll",  L"samcli.dll",
      L"ws2_32.dll",  L"netapi32.dll",      L"netutils.dll", L"srvcli.dll",   L"wkscli.dll"};
  return libraries;
}

void HardenDllSearchPath() {
  // A "<exe>.local" file or folder would redirect DLL loading into the application folder.
  const std::wstring localPath = ExecutablePath() + L".local";
  std::wstring movedTo;
  if (PathExists(localPath)) {
    movedTo = FirstFreeNumberedName(localPath, PathExists);
    if (!::MoveFileW(localPath.c_str(), movedTo.c_str())) movedTo.clear();
    if (PathExists(localPath)) ::TerminateProcess(::GetCurrentProcess(), ERROR_ACCESS_DENIED);
  }

  // Looked up by name: older systems lack some of these.
  HMODULE kernel = ::GetModuleHandleW(L"kernel32.dll");
  using SetSearchPathModeFn = BOOL(WINAPI*)(DWORD);
  using SetDllDirectoryFn = BOOL(WINAPI*)(LPCWSTR);
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  if (auto setSearchPathMode =
          reinterpret_cast<SetSearchPathModeFn>(::GetProcAddress(kernel, "SetSearchPathMode")))
    setSearchPathMode(kSafeSearchPermanent);
  if (auto setDllDirectory = reinterpret_cast<SetDllDirectoryFn>(::GetProcAddress(kernel, "SetDllDirectoryW")))
    setDllDirectory(L"");
  bool systemFolderOnly = false;
  if (auto setDefaultDllDirectories =
          reinterpret_cast<SetDefaultDllDirectoriesFn>(::GetProcAddress(kernel, "SetDefaultDllDirectories")))
    systemFolderOnly = setDefaultDllDirectories(kSearchSystem32Only) != FALSE;

  // Where every later load by name, and every dependency it brings, can come from the system folder
  // only, the libraries are loaded when first used. Without that guarantee they are loaded now from
  // the system folder by full path, so that a later load by name finds the system's copy in memory.
  wchar_t systemDir[MAX_PATH + 1] = {};
  UINT length = systemFolderOnly ? 0 : ::GetSystemDirectoryW(systemDir, MAX_PATH + 1);
  if (length > 0 && length <= MAX_PATH) {
    // The libraries stay loaded for the life of the process, so their handles are not owned.
    for (const wchar_t* name : PreloadedSystemLibraries())
      ::LoadLibraryW((std::wstring(systemDir) + L"\\" + name).c_str());
  }

  if (!movedTo.empty()) ::MoveFileW(movedTo.c_str(), localPath.c_str());
}

}  // namespace updater
